// Base64 text coding of byte records (standard alphabet, "=" padding, optional line breaks).
//
// The caller owns every buffer; a NULL output asks for the size needed instead.
#pragma once

#include "qv_export.h"

// length > 0: that many bytes, text NUL-terminated; 0: in is a NUL-terminated text;
// < 0: -length bytes, no NUL. Returns the text length without the NUL, or the size
// needed (NUL included) when out or in is NULL.
QV_EXPORT int Base64Encode(char* out, const unsigned char* in, int length);
QV_EXPORT int Base64EncodeEx(char* out, const unsigned char* in, int length, int lineLength, int separator);
// Breaks text of length characters in place after every lineLength characters with the
// 1 to 4 separator bytes held in the low-order bytes of separator.
QV_EXPORT int Base64InsertBreaks(char* text, int length, int lineLength, int separator);
QV_EXPORT void Base64EncodeGroup(char* out, const unsigned char* in);
// Returns the bytes decoded (or the most that length characters can give when text is NULL),
// -3 for a negative length. Strict decoding stops at the first character outside the
// alphabet; lenient decoding skips it.
QV_EXPORT int Base64Decode(unsigned char* out, const char* text, int length);
QV_EXPORT int Base64DecodeEx(unsigned char* out, const char* text, int length, int lenient);
