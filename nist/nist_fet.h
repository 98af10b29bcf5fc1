// Name/value list (`fet`) with its text form, the NIST comment built on it, and comment segments.
// A list owns its arrays and strings; values handed out are fresh malloc'd copies owned by the caller.
#pragma once
#include <cstdio>

struct FET {
    int capacity;
    int used;
    char** names;
    char** values;
};

constexpr int kFetMaxText = 511;        // longest name or value string2fet accepts
constexpr int kFetTooLong = -5;         // string2fet: a name or value longer than kFetMaxText
constexpr int kMaxCommentText = 65533;  // longest text a comment segment holds
constexpr int kCommentTooLong = -2;     // putc_comment/write_comment: text does not fit a segment
constexpr int kCommentBadLength = -4;   // read_comment/getc_comment: length field below 2

int allocfet_ret(FET** ofet, int numfeatures);
int reallocfet_ret(FET** ofet, int newlen);
int updatefet_ret(const char* feature, const char* value, FET* fet);
int deletefet_ret(const char* feature, FET* fet);
int extractfet_ret(char** ovalue, const char* feature, const FET* fet);
int lookupfet(char** ovalue, const char* feature, const FET* fet);
void freefet(FET* fet);
int fet2string(char** ostr, const FET* fet);
int string2fet(FET** ofet, const char* istr);

int combine_nistcom(FET** onistcom, int w, int h, int d, int ppi, int lossyflag);
int combine_wsq_nistcom(FET** onistcom, int w, int h, int d, int ppi, int lossyflag, float r_bitrate);

// Comment segment readers, positioned after the marker; the text is new and NUL-terminated.
int read_comment(unsigned char** ocomment, FILE* infp);
int getc_comment(unsigned char** ocomment, const unsigned char** cbufptr, const unsigned char* ebufptr);
int putc_comment(unsigned short marker, const unsigned char* comment, int cs, unsigned char* odata, int oalloc,
                 int* olen);
int write_comment(unsigned short marker, const unsigned char* comment, int cs, FILE* outfp);
