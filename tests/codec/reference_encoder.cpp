// A slow, step-by-step encoder kept as an independent check on the fast one.
#include "codec/reference_encoder.hpp"

#include <memory>

#include "codec/model.hpp"

namespace qx::codec::testing {
namespace {

constexpr int nil = 4096;

struct Run {
    uint8_t* win;
    std::vector<uint8_t>& out;
    Model model;
    uint16_t left[4097], right[4353], up[4097];
    uint16_t bits = 0;
    int count = 0;
    int best_length = 0, best_offset = 0;

    void put_bits(int n, uint16_t value) {
        bits |= static_cast<uint16_t>(value >> count);
        count += n;
        if (count < 8) return;
        out.push_back(static_cast<uint8_t>(bits >> 8));
        count -= 8;
        if (count < 8) {
            bits = static_cast<uint16_t>(bits << 8);
            return;
        }
        out.push_back(static_cast<uint8_t>(bits));
        count -= 8;
        bits = static_cast<uint16_t>(n - count >= 16 ? 0 : value << (n - count));
    }
    void encode_symbol(int s) {
        std::vector<int> path;
        for (int node = model.node_parent[627 + s]; node != 626; node = model.node_parent[node]) path.push_back(node & 1);
        for (size_t k = path.size(); k-- > 0;) put_bits(1, static_cast<uint16_t>(path[k] << 15));
        update_model(model, static_cast<unsigned>(s));
    }
    void encode_offset(int o) {
        static const int counts[6] = {1, 3, 8, 12, 24, 16};
        int v = 0, code = 0;
        for (int k = 0; k < 6; ++k)
            for (int j = 0; j < counts[k]; ++j, ++v, code += 1 << (5 - k))
                if (v == (o >> 6)) put_bits(3 + k, static_cast<uint16_t>(code << 8));
        put_bits(6, static_cast<uint16_t>((o & 63) << 10));
    }
    void insert(int r) {
        left[r] = right[r] = nil;
        best_length = 0;
        int p = 4097 + win[r], cmp = 1;
        for (;;) {
            uint16_t* link = cmp >= 0 ? &right[p] : &left[p];
            if (*link == nil) {
                *link = static_cast<uint16_t>(r);
                up[r] = static_cast<uint16_t>(p);
                return;
            }
            p = *link;
            int i = 1;
            for (; i < 60; ++i)
                if ((cmp = win[r + i] - win[p + i]) != 0) break;
            if (i > 2) {
                const int offset = ((r - p) & 4095) - 1;
                if (i > best_length) {
                    best_offset = offset;
                    best_length = i;
                    if (i == 60) break;
                } else if (i == best_length && offset < best_offset) {
                    best_offset = offset;
                }
            }
        }
        up[r] = up[p];
        left[r] = left[p];
        right[r] = right[p];
        up[left[p]] = static_cast<uint16_t>(r);
        up[right[p]] = static_cast<uint16_t>(r);
        (right[up[p]] == p ? right[up[p]] : left[up[p]]) = static_cast<uint16_t>(r);
        up[p] = nil;
    }
    void remove(int p) {
        if (up[p] == nil) return;
        int q;
        if (right[p] == nil) {
            q = left[p];
        } else if (left[p] == nil) {
            q = right[p];
        } else {
            q = left[p];
            if (right[q] != nil) {
                while (right[q] != nil) q = right[q];
                right[up[q]] = left[q];
                up[left[q]] = up[q];
                left[q] = left[p];
                up[left[p]] = static_cast<uint16_t>(q);
            }
            right[q] = right[p];
            up[right[p]] = static_cast<uint16_t>(q);
        }
        up[q] = up[p];
        (right[up[p]] == p ? right[up[p]] : left[up[p]]) = static_cast<uint16_t>(q);
        up[p] = nil;
    }
};

}  // namespace

std::vector<uint8_t> ReferenceEncoder::compress(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    const auto n = static_cast<uint32_t>(data.size());
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(n >> (8 * k)));
    if (data.empty()) return out;
    auto run = std::make_unique<Run>(Run{window, out, {}, {}, {}, {}});
    Run& e = *run;
    init_model(e.model);
    for (int b = 0; b < 256; ++b) e.right[4097 + b] = nil;
    for (int p = 0; p < 4096; ++p) e.up[p] = nil;
    for (int p = 0; p < 4036; ++p) window[p] = ' ';
    size_t in = 0;
    int remaining = 0;
    while (remaining < 60 && in < data.size()) window[4036 + remaining++] = data[in++];
    int r = 4036, s = 0;
    for (int p = 4035; p >= 3976; --p) e.insert(p);
    e.insert(r);
    do {
        if (e.best_length > remaining) e.best_length = remaining;
        if (e.best_length <= 2) {
            e.best_length = 1;
            e.encode_symbol(window[r]);
        } else {
            e.encode_symbol(253 + e.best_length);
            e.encode_offset(e.best_offset);
        }
        const int last = e.best_length;
        int i = 0;
        for (; i < last && in < data.size(); ++i) {
            e.remove(s);
            window[s] = data[in++];
            if (s < 59) window[s + 4096] = window[s];
            s = (s + 1) & 4095;
            r = (r + 1) & 4095;
            e.insert(r);
        }
        for (; i < last; ++i) {
            e.remove(s);
            s = (s + 1) & 4095;
            r = (r + 1) & 4095;
            if (--remaining != 0) e.insert(r);
        }
    } while (remaining > 0);
    if (e.count > 0) out.push_back(static_cast<uint8_t>(e.bits >> 8));
    return out;
}

void ReferenceEncoder::after_decompress(const std::vector<uint8_t>& data) {
    for (int p = 0; p < 4036; ++p) window[p] = ' ';
    for (size_t j = 0; j < data.size(); ++j) window[(4036 + j) & 4095] = data[j];
}

}  // namespace qx::codec::testing
