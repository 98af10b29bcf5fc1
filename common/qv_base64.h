// The utilities' Base64 coder (standard alphabet, "=" padding, no line breaks) and its tables.
// The decoder does not validate: characters outside the alphabet decode as 0.
// Output buffers are the caller's: EnBase64 needs GetEnLen(n) bytes (no NUL is written);
// DeBase64 needs GetDeLen(text) bytes.
#pragma once

#include <string>

#include "qv_export.h"

QV_EXPORT extern char sdk_version[24];
QV_EXPORT extern char B64EnTblX[65];
QV_EXPORT extern unsigned char B64DeTblX[123];

QV_EXPORT int GetEnLen(int n);
QV_EXPORT int GetDeLen(std::string text);
QV_EXPORT int EnBase64(unsigned char* src, int n, char* out);
QV_EXPORT int EnBase64Ex(unsigned char* src, int n, std::string& text);
QV_EXPORT int DeBase64(char* text, unsigned char* out, int& n);
QV_EXPORT int DeBase64Ex(std::string text, unsigned char* out, int& n);
