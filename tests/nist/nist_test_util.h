// Helpers of the WSQ codec tests: byte vectors, streams holding given bytes.
#pragma once
#include <cstdio>
#include <initializer_list>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A temporary stream holding the bytes, positioned at its start; the caller closes it.
inline FILE* stream_of(const Bytes& b) {
    FILE* fp = tmpfile();
    if (fp && !b.empty()) fwrite(b.data(), 1, b.size(), fp);
    if (fp) rewind(fp);
    return fp;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
