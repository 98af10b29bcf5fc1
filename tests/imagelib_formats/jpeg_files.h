// Hand-built JPEG files for the reader's budget tests: valid headers and real entropy-coded data
// that is as cheap per byte as the coding allows (one-bit Huffman codes, end-of-band runs).
#pragma once

#include <cstddef>
#include <vector>

namespace jpeg_files {

using File = std::vector<unsigned char>;

struct Component {
    unsigned char id, h, v;
};

// A file under construction: SOI, then the segments and scans added, then EOI from Finish().
class Builder {
public:
    Builder() { f_ = {0xFF, 0xD8}; }

    void Segment(unsigned char marker, const std::vector<unsigned char>& body) {
        f_.insert(f_.end(), {0xFF, marker, static_cast<unsigned char>((body.size() + 2) >> 8),
                             static_cast<unsigned char>(body.size() + 2)});
        f_.insert(f_.end(), body.begin(), body.end());
    }

    // One quantisation table 0 of ones.
    void Dqt() {
        std::vector<unsigned char> b(65, 1);
        b[0] = 0;
        Segment(0xDB, b);
    }

    // Frame header: C0 baseline, C2 progressive, C9 arithmetic, CA progressive arithmetic.
    void Frame(unsigned char sof, unsigned w, unsigned h, const std::vector<Component>& comps) {
        std::vector<unsigned char> b = {8,
                                        static_cast<unsigned char>(h >> 8),
                                        static_cast<unsigned char>(h),
                                        static_cast<unsigned char>(w >> 8),
                                        static_cast<unsigned char>(w),
                                        static_cast<unsigned char>(comps.size())};
        for (const Component& c : comps) b.insert(b.end(), {c.id, static_cast<unsigned char>(c.h << 4 | c.v), 0});
        Segment(sof, b);
    }

    // Huffman table (class 0 DC, 1 AC; slot 0) holding one code of one bit for the symbol.
    void OneCodeTable(unsigned char table_class, unsigned char symbol) {
        std::vector<unsigned char> b(18, 0);
        b[0] = static_cast<unsigned char>(table_class << 4);
        b[1] = 1;
        b[17] = symbol;
        Segment(0xC4, b);
    }

    // Scan header over the component ids (tables 0), then data bytes.
    void Scan(const std::vector<unsigned char>& ids, int ss, int se, int ah, int al, size_t zero_bytes) {
        std::vector<unsigned char> b = {static_cast<unsigned char>(ids.size())};
        for (unsigned char id : ids) b.insert(b.end(), {id, 0x00});
        b.insert(b.end(), {static_cast<unsigned char>(ss), static_cast<unsigned char>(se),
                           static_cast<unsigned char>(ah << 4 | al)});
        Segment(0xDA, b);
        f_.resize(f_.size() + zero_bytes, 0);
    }

    void Raw(const std::vector<unsigned char>& bytes) { f_.insert(f_.end(), bytes.begin(), bytes.end()); }
    size_t size() const { return f_.size(); }

    File Finish() {
        File out = f_;
        out.insert(out.end(), {0xFF, 0xD9});
        return out;
    }

private:
    File f_;
};

inline size_t Blocks(unsigned w, unsigned h) { return size_t((w + 7) / 8) * ((h + 7) / 8); }

// One grey component of w x h, baseline (C0) or progressive (C2), whose only scan (the first DC scan
// when progressive) is scan_bytes zero bytes: two bits a block, or one.
inline File Claimed(unsigned char sof, unsigned w, unsigned h, size_t scan_bytes) {
    Builder b;
    b.Dqt();
    b.Frame(sof, w, h, {{1, 1, 1}});
    b.OneCodeTable(0, 0x00);
    b.OneCodeTable(1, 0x00);
    b.Scan({1}, 0, sof == 0xC2 ? 0 : 63, 0, 0, scan_bytes);
    return b.Finish();
}

// Bytes of a one-scan sequential Huffman file with the one-bit codes below: two bits a block.
inline size_t SequentialScanBytes(unsigned w, unsigned h, size_t components) {
    return (Blocks(w, h) * components * 2 + 7) / 8;
}

// Baseline Huffman file of one interleaved scan (components of sampling 1 x 1): with the one-bit DC
// code for category 0 and the one-bit end of block, each block costs two bits, so zero bytes decode as
// flat grey. The scan holds scan_bytes (what the blocks need by default); the file is then padded with
// zero bytes to total_bytes before EOI.
inline File Sequential(unsigned w, unsigned h, const std::vector<Component>& comps, size_t scan_bytes = 0,
                       size_t total_bytes = 0) {
    Builder b;
    b.Dqt();
    b.Frame(0xC0, w, h, comps);
    b.OneCodeTable(0, 0x00);
    b.OneCodeTable(1, 0x00);
    std::vector<unsigned char> ids;
    for (const Component& c : comps) ids.push_back(c.id);
    b.Scan(ids, 0, 63, 0, 0, scan_bytes != 0 ? scan_bytes : SequentialScanBytes(w, h, comps.size()));
    if (b.size() + 2 < total_bytes) b.Raw(std::vector<unsigned char>(total_bytes - 2 - b.size(), 0));
    return b.Finish();
}

// Progressive Huffman file: one interleaved DC scan of the coded components (one bit a block), then
// `ac_scans` AC scans of the first component over 1..63, each an end-of-band run of 16,384 blocks per
// 15 bits; refine makes them chains of successive-approximation refinements (the costliest scan per
// byte: every coefficient of every block is visited).
inline File Progressive(unsigned w, unsigned h, const std::vector<Component>& comps, size_t coded_components,
                        int ac_scans, bool refine) {
    Builder b;
    b.Dqt();
    b.Frame(0xC2, w, h, comps);
    b.OneCodeTable(0, 0x00);
    b.OneCodeTable(1, 0xE0);  // EOB14: a run of 2^14 plus 14 bits
    std::vector<unsigned char> ids;
    for (size_t i = 0; i < coded_components; ++i) ids.push_back(comps[i].id);
    b.Scan(ids, 0, 0, 0, 0, (Blocks(w, h) * ids.size() + 7) / 8);
    const size_t run_bytes = ((Blocks(w, h) + 16383) / 16384 * 15 + 7) / 8;
    for (int s = 0; s < ac_scans; ++s) {
        // a consistent progression: a first scan at bit 13, refinements down to bit 0, again
        const int step = refine ? s % 14 : 0;
        if (step == 0)
            b.Scan({comps[0].id}, 1, 63, 0, refine ? 13 : 0, run_bytes);
        else
            b.Scan({comps[0].id}, 1, 63, 14 - step, 13 - step, run_bytes);
    }
    return b.Finish();
}

// Arithmetic-coded file (sequential or progressive) whose scans hold no data: the decoder reads zeros.
inline File Arithmetic(unsigned w, unsigned h, const std::vector<Component>& comps, bool progressive, int ac_scans) {
    Builder b;
    b.Dqt();
    b.Frame(progressive ? 0xCA : 0xC9, w, h, comps);
    std::vector<unsigned char> ids;
    for (const Component& c : comps) ids.push_back(c.id);
    if (!progressive) {
        b.Scan(ids, 0, 63, 0, 0, 0);
    } else {
        b.Scan(ids, 0, 0, 0, 0, 0);
        for (int s = 0; s < ac_scans; ++s) b.Scan({comps[0].id}, 1, 63, 0, 0, 0);
    }
    return b.Finish();
}

inline const std::vector<Component> kGrey = {{1, 1, 1}};
inline const std::vector<Component> kColour = {{1, 1, 1}, {2, 1, 1}, {3, 1, 1}};
inline const std::vector<Component> kCmyk = {{1, 1, 1}, {2, 1, 1}, {3, 1, 1}, {4, 1, 1}};

}  // namespace jpeg_files
