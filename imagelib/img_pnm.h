// Number scanning of the PBM/PGM/PPM decoder; the codec entries are in img_codec.h.
#pragma once
#include "qv_export.h"

// Reads the next decimal number at or after *cursor, skipping other bytes and "#" comments
// to the line end; 1 with *value set (saturated at UINT_MAX) and *cursor after the digits,
// 0 at the end of data, in an unterminated comment or for 100 or more digits.
QV_EXPORT int PnmReadNumber(const unsigned char** cursor, const unsigned char* end, unsigned* value);
// First position at or after cursor holding a digit or "#", NULL when there is none.
QV_EXPORT const unsigned char* PnmSkipToNumber(const unsigned char* cursor, const unsigned char* end);
