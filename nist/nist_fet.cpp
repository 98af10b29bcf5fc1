// Name/value list, NIST comment attributes and comment segments.
#include "nist_fet.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include "nist_io.h"

namespace {

char* dup_text(const char* s) {
    size_t n = strlen(s) + 1;
    char* d = static_cast<char*>(malloc(n));
    if (d) memcpy(d, s, n);
    return d;
}

int find_entry(const char* name, const FET* fet) {
    for (int i = 0; i < fet->used; i++)
        if (strcmp(fet->names[i], name) == 0) return i;
    return -1;
}

// "%f" whatever the process's locale: the comment is read by other systems.
void format_c_locale(char* out, size_t n, double v) {
    locale_t c = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
    locale_t old = c ? uselocale(c) : static_cast<locale_t>(nullptr);
    snprintf(out, n, "%f", v);
    if (c) {
        uselocale(old);
        freelocale(c);
    }
}

}  // namespace

int allocfet_ret(FET** ofet, int numfeatures) {
    if (numfeatures < 0) numfeatures = 0;
    FET* fet = static_cast<FET*>(calloc(1, sizeof(FET)));
    if (fet == nullptr) {
        diag_fprintf(stderr, "ERROR : allocfet_ret : calloc : fet\n");
        return -2;
    }
    size_t n = numfeatures > 0 ? static_cast<size_t>(numfeatures) : 1;
    fet->names = static_cast<char**>(calloc(n, sizeof(char*)));
    if (fet->names == nullptr) {
        free(fet);
        diag_fprintf(stderr, "ERROR : allocfet_ret : calloc : fet->names\n");
        return -3;
    }
    fet->values = static_cast<char**>(calloc(n, sizeof(char*)));
    if (fet->values == nullptr) {
        free(fet->names);
        free(fet);
        diag_fprintf(stderr, "ERROR : allocfet_ret : calloc : fet->values\n");
        return -4;
    }
    fet->capacity = numfeatures;
    fet->used = 0;
    *ofet = fet;
    return 0;
}

int reallocfet_ret(FET** ofet, int newlen) {
    FET* fet = *ofet;
    if (fet == nullptr) return allocfet_ret(ofet, newlen);
    // A list of no slots grows in place like any other: callers keep using the pointer they hold.
    if (newlen <= fet->capacity) return 0;
    char** names = static_cast<char**>(realloc(fet->names, static_cast<size_t>(newlen) * sizeof(char*)));
    if (names == nullptr) {
        diag_fprintf(stderr, "ERROR : reallocfet_ret : realloc : fet->names\n");
        return -2;
    }
    fet->names = names;
    char** values = static_cast<char**>(realloc(fet->values, static_cast<size_t>(newlen) * sizeof(char*)));
    if (values == nullptr) {
        diag_fprintf(stderr, "ERROR : reallocfet_ret : realloc : fet->values\n");
        return -3;
    }
    fet->values = values;
    for (int i = fet->capacity; i < newlen; i++) names[i] = values[i] = nullptr;
    fet->capacity = newlen;
    return 0;
}

int updatefet_ret(const char* feature, const char* value, FET* fet) {
    int i = find_entry(feature, fet);
    if (i >= 0) {
        free(fet->values[i]);
        fet->values[i] = nullptr;
        if (value) {
            fet->values[i] = dup_text(value);
            if (fet->values[i] == nullptr) {
                diag_fprintf(stderr, "ERROR : updatefet_ret : strdup : fet->values[]\n");
                return -2;
            }
        }
        return 0;
    }
    if (fet->used >= fet->capacity) {
        int grow = fet->capacity / 10;
        if (grow < 10) grow = 10;
        FET* p = fet;
        int ret = reallocfet_ret(&p, fet->capacity + grow);
        if (ret) return ret;
    }
    char* name = dup_text(feature);
    if (name == nullptr) {
        diag_fprintf(stderr, "ERROR : updatefet_ret : strdup : fet->names[]\n");
        return -3;
    }
    char* val = nullptr;
    if (value) {
        val = dup_text(value);
        if (val == nullptr) {
            free(name);
            diag_fprintf(stderr, "ERROR : updatefet_ret : strdup : fet->values[]\n");
            return -4;
        }
    }
    fet->names[fet->used] = name;
    fet->values[fet->used] = val;
    fet->used++;
    return 0;
}

int deletefet_ret(const char* feature, FET* fet) {
    int i = find_entry(feature, fet);
    if (i < 0) {
        diag_fprintf(stderr, "ERROR : deletefet_ret : feature %s not found\n", feature);
        return -2;
    }
    free(fet->names[i]);
    free(fet->values[i]);
    for (int j = i + 1; j < fet->used; j++) {
        fet->names[j - 1] = fet->names[j];
        fet->values[j - 1] = fet->values[j];
    }
    fet->names[fet->used - 1] = nullptr;
    fet->values[fet->used - 1] = nullptr;
    fet->used--;
    return 0;
}

int extractfet_ret(char** ovalue, const char* feature, const FET* fet) {
    int i = find_entry(feature, fet);
    if (i < 0) {
        diag_fprintf(stderr, "ERROR : extractfet_ret : feature %s not found\n", feature);
        return -2;
    }
    char* v = nullptr;
    if (fet->values[i]) {
        v = dup_text(fet->values[i]);
        if (v == nullptr) {
            diag_fprintf(stderr, "ERROR : extractfet_ret : strdup : value\n");
            return -3;
        }
    }
    *ovalue = v;
    return 0;
}

int lookupfet(char** ovalue, const char* feature, const FET* fet) {
    int i = find_entry(feature, fet);
    if (i < 0) return 0;
    char* v = nullptr;
    if (fet->values[i]) {
        v = dup_text(fet->values[i]);
        if (v == nullptr) {
            diag_fprintf(stderr, "ERROR : lookupfet : strdup : value\n");
            return -2;
        }
    }
    *ovalue = v;
    return 1;
}

void freefet(FET* fet) {
    if (fet == nullptr) return;
    for (int i = 0; i < fet->capacity; i++) {
        free(fet->names[i]);
        free(fet->values[i]);
    }
    free(fet->names);
    free(fet->values);
    free(fet);
}

int fet2string(char** ostr, const FET* fet) {
    size_t size = 1;
    for (int i = 0; i < fet->used; i++)
        size += strlen(fet->names[i]) + (fet->values[i] ? strlen(fet->values[i]) : 0) + 2;
    char* s = static_cast<char*>(calloc(size, 1));
    if (s == nullptr) {
        diag_fprintf(stderr, "ERROR : fet2string : calloc : value\n");
        return -2;
    }
    size_t k = 0;
    for (int i = 0; i < fet->used; i++) {
        size_t n = strlen(fet->names[i]);
        memcpy(s + k, fet->names[i], n);
        k += n;
        s[k++] = ' ';
        if (fet->values[i]) {
            n = strlen(fet->values[i]);
            memcpy(s + k, fet->values[i], n);
            k += n;
        }
        s[k++] = '\n';
    }
    if (k > 0) s[k - 1] = '\0';
    *ostr = s;
    return 0;
}

int string2fet(FET** ofet, const char* istr) {
    FET* fet;
    int ret = allocfet_ret(&fet, 100);
    if (ret) return ret;
    char name[kFetMaxText + 1];
    char value[kFetMaxText + 1];
    const char* p = istr;
    while (*p != '\0') {
        size_t n = 0;
        while (*p != '\0' && *p != ' ' && *p != '\t') {
            // A newline does not end a name: a line holding only a name runs into the next one.
            if (n >= kFetMaxText) {
                freefet(fet);
                diag_fprintf(stderr, "ERROR : string2fet : name too long\n");
                return kFetTooLong;
            }
            name[n++] = *p++;
        }
        name[n] = '\0';
        while (*p == ' ' || *p == '\t') p++;
        size_t m = 0;
        while (*p != '\0' && *p != '\n') {
            if (m >= kFetMaxText) {
                freefet(fet);
                diag_fprintf(stderr, "ERROR : string2fet : value too long\n");
                return kFetTooLong;
            }
            value[m++] = *p++;
        }
        value[m] = '\0';
        while (*p == ' ' || *p == '\t' || *p == '\n') p++;
        if (n == 0) {
            freefet(fet);
            diag_fprintf(stderr, "ERROR : string2fet : empty name\n");
            return -2;
        }
        if ((ret = updatefet_ret(name, m ? value : nullptr, fet))) {
            freefet(fet);
            return ret;
        }
    }
    *ofet = fet;
    return 0;
}

int combine_nistcom(FET** onistcom, int w, int h, int d, int ppi, int lossyflag) {
    FET* nistcom = *onistcom;
    const bool created = (nistcom == nullptr);
    int ret;
    char buf[32];
    auto fail = [&](int code) {
        if (created) {
            freefet(nistcom);
            *onistcom = nullptr;
        }
        return code;
    };
    if (created) {
        if ((ret = allocfet_ret(&nistcom, 6))) return ret;
        if ((ret = updatefet_ret("NIST_COM", "6", nistcom))) return fail(ret);
    }
    const struct {
        const char* name;
        int v;
    } fields[] = {{"PIX_WIDTH", w}, {"PIX_HEIGHT", h}, {"PIX_DEPTH", d}, {"PPI", ppi}};
    for (const auto& f : fields) {
        snprintf(buf, sizeof buf, "%d", f.v);
        if ((ret = updatefet_ret(f.name, buf, nistcom))) return fail(ret);
    }
    char* lossy = nullptr;
    ret = lookupfet(&lossy, "LOSSY", nistcom);
    if (ret < 0) return fail(ret);
    const bool keep = (ret == 1) && (lossy == nullptr || strcmp(lossy, "0") != 0) && lossyflag == 0;
    free(lossy);
    if (keep) {
        diag_fprintf(stderr, "WARNING : combine_nistcom : request to unset lossy flag ignored\n");
    } else {
        snprintf(buf, sizeof buf, "%d", lossyflag);
        if ((ret = updatefet_ret("LOSSY", buf, nistcom))) return fail(ret);
    }
    snprintf(buf, sizeof buf, "%d", nistcom->used);
    if ((ret = updatefet_ret("NIST_COM", buf, nistcom))) return fail(ret);
    *onistcom = nistcom;
    return 0;
}

int combine_wsq_nistcom(FET** onistcom, int w, int h, int d, int ppi, int lossyflag, float r_bitrate) {
    const bool created = (*onistcom == nullptr);
    int ret = combine_nistcom(onistcom, w, h, d, ppi, lossyflag);
    if (ret) return ret;
    FET* nistcom = *onistcom;
    auto fail = [&](int code) {
        if (created) {
            freefet(nistcom);
            *onistcom = nullptr;
        }
        return code;
    };
    if ((ret = updatefet_ret("COLORSPACE", "GRAY", nistcom))) return fail(ret);
    if ((ret = updatefet_ret("COMPRESSION", "WSQ", nistcom))) return fail(ret);
    char buf[64];
    format_c_locale(buf, sizeof buf, static_cast<double>(r_bitrate));
    if ((ret = updatefet_ret("WSQ_BITRATE", buf, nistcom))) return fail(ret);
    snprintf(buf, sizeof buf, "%d", nistcom->used);
    if ((ret = updatefet_ret("NIST_COM", buf, nistcom))) return fail(ret);
    return 0;
}

int read_comment(unsigned char** ocomment, FILE* infp) {
    unsigned short len;
    int ret = read_ushort(&len, infp);
    if (ret) return ret;
    if (len < 2) {
        diag_fprintf(stderr, "ERROR : read_comment : length %u\n", len);
        return kCommentBadLength;
    }
    unsigned char* text = static_cast<unsigned char*>(calloc(static_cast<size_t>(len) - 1, 1));
    if (text == nullptr) {
        diag_fprintf(stderr, "ERROR : read_comment : calloc : comment\n");
        return -2;
    }
    size_t n = static_cast<size_t>(len) - 2;
    if (n > 0 && fread(text, 1, n, infp) != n) {
        free(text);
        diag_fprintf(stderr, "ERROR : read_comment : fread : comment\n");
        return -3;
    }
    *ocomment = text;
    return 0;
}

int getc_comment(unsigned char** ocomment, const unsigned char** cbufptr, const unsigned char* ebufptr) {
    unsigned short len;
    int ret = getc_ushort(&len, cbufptr, ebufptr);
    if (ret) return ret;
    if (len < 2) {
        diag_fprintf(stderr, "ERROR : getc_comment : length %u\n", len);
        return kCommentBadLength;
    }
    unsigned char* text = static_cast<unsigned char*>(calloc(static_cast<size_t>(len) - 1, 1));
    if (text == nullptr) {
        diag_fprintf(stderr, "ERROR : getc_comment : calloc : comment\n");
        return -2;
    }
    unsigned char* dst = text;
    if ((ret = getc_bytes(&dst, len - 2, cbufptr, ebufptr))) {
        free(text);
        return ret;
    }
    *ocomment = text;
    return 0;
}

int putc_comment(unsigned short marker, const unsigned char* comment, int cs, unsigned char* odata, int oalloc,
                 int* olen) {
    if (cs < 0 || cs > kMaxCommentText) {
        diag_fprintf(stderr, "ERROR : putc_comment : comment of %d bytes does not fit\n", cs);
        return kCommentTooLong;
    }
    int ret;
    if ((ret = putc_ushort(marker, odata, oalloc, olen))) return ret;
    if ((ret = putc_ushort(static_cast<unsigned short>(cs + 2), odata, oalloc, olen))) return ret;
    return putc_bytes(comment, cs, odata, oalloc, olen);
}

int write_comment(unsigned short marker, const unsigned char* comment, int cs, FILE* outfp) {
    if (cs < 0 || cs > kMaxCommentText) return -3;
    int ret;
    if ((ret = write_ushort(marker, outfp))) return ret;
    if ((ret = write_ushort(static_cast<unsigned short>(cs + 2), outfp))) return ret;
    if (cs > 0 && fwrite(comment, 1, static_cast<size_t>(cs), outfp) != static_cast<size_t>(cs)) return -2;
    return 0;
}
