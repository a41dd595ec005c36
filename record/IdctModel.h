#pragma once

// The fixed-point arithmetic of the 8 x 8 inverse DCT (Intel AP-922), written
// once: the row coefficient sets, the column constants, the row pass in
// scalar form and the column pass as a template over the lane operations of
// each instruction set. The scalar instantiations are the reference that
// every processor variant is tested against.

#include <algorithm>
#include <cstdint>

namespace velmora::record {

// C1..C7 of each row group: round(2^15 cos(m pi/16) cos(k pi/16)) for
// m = 4, 1, 2, 3.
inline constexpr int16_t kIdctRowSets[4][7] = {
    {22725, 21407, 19266, 16384, 12873, 8867, 4520},
    {31521, 29692, 26722, 22725, 17855, 12299, 6270},
    {29692, 27969, 25172, 21407, 16819, 11585, 5906},
    {26722, 25172, 22654, 19266, 15137, 10426, 5315},
};
// Row r uses set kIdctRowSetOfRow[r].
inline constexpr int kIdctRowSetOfRow[8] = {0, 1, 2, 3, 0, 3, 2, 1};

inline constexpr int16_t kIdctT1 = 13036;   // 2^16 tan(pi/16)
inline constexpr int16_t kIdctT2 = 27146;   // 2^16 tan(2pi/16)
inline constexpr int16_t kIdctT3 = -21746;  // 2^16 tan(3pi/16) - 2^16
inline constexpr int16_t kIdctC4 = -19195;  // 2^16 cos(pi/4) - 2^16
inline constexpr int32_t kIdctRowRounding = 2048;

// The row sets in the order the 16-bit multiply-adds consume them: each row
// is rearranged into the pairs (x0,x2), (x4,x6), (x1,x3), (x5,x7), and each
// pair meets four coefficient pairs, one per output sum a0..a3 or b0..b3.
struct alignas(16) IDCT_ROW_TABLE {
    int16_t words[4][32];
};

constexpr IDCT_ROW_TABLE MakeIdctRowTable() {
    IDCT_ROW_TABLE table{};
    for (int set = 0; set < 4; ++set) {
        const auto C = [&](int k) { return kIdctRowSets[set][k - 1]; };
        const int16_t words[32] = {
            C(4),
            C(2),
            C(4),
            C(6),
            C(4),
            static_cast<int16_t>(-C(6)),
            C(4),
            static_cast<int16_t>(-C(2)),
            C(4),
            C(6),
            static_cast<int16_t>(-C(4)),
            static_cast<int16_t>(-C(2)),
            static_cast<int16_t>(-C(4)),
            C(2),
            C(4),
            static_cast<int16_t>(-C(6)),
            C(1),
            C(3),
            C(3),
            static_cast<int16_t>(-C(7)),
            C(5),
            static_cast<int16_t>(-C(1)),
            C(7),
            static_cast<int16_t>(-C(5)),
            C(5),
            C(7),
            static_cast<int16_t>(-C(1)),
            static_cast<int16_t>(-C(5)),
            C(7),
            C(3),
            C(3),
            static_cast<int16_t>(-C(1)),
        };
        for (int i = 0; i < 32; ++i)
            table.words[set][i] = words[i];
    }
    return table;
}

inline constexpr IDCT_ROW_TABLE kIdctRowTable = MakeIdctRowTable();

// One row in scalar form: 32-bit two's-complement sums, results saturated to
// 16 bits.
inline void IdctRowScalar(const int16_t* x, int16_t* y, const int16_t* C) {
    const auto m = [](int32_t c, int16_t v) { return static_cast<uint32_t>(c * v); };
    const uint32_t a[4] = {
        m(C[3], x[0]) + m(C[1], x[2]) + m(C[3], x[4]) + m(C[5], x[6]),
        m(C[3], x[0]) + m(C[5], x[2]) - m(C[3], x[4]) - m(C[1], x[6]),
        m(C[3], x[0]) - m(C[5], x[2]) - m(C[3], x[4]) + m(C[1], x[6]),
        m(C[3], x[0]) - m(C[1], x[2]) + m(C[3], x[4]) - m(C[5], x[6]),
    };
    const uint32_t b[4] = {
        m(C[0], x[1]) + m(C[2], x[3]) + m(C[4], x[5]) + m(C[6], x[7]),
        m(C[2], x[1]) - m(C[6], x[3]) - m(C[0], x[5]) - m(C[4], x[7]),
        m(C[4], x[1]) - m(C[0], x[3]) + m(C[6], x[5]) + m(C[2], x[7]),
        m(C[6], x[1]) - m(C[4], x[3]) + m(C[2], x[5]) - m(C[0], x[7]),
    };
    const auto shifted = [](uint32_t sum) {
        const int32_t v = static_cast<int32_t>(sum) >> 12;
        return static_cast<int16_t>(std::clamp<int32_t>(v, -32768, 32767));
    };
    int16_t result[8];
    for (int k = 0; k < 4; ++k) {
        result[k] = shifted(a[k] + kIdctRowRounding + b[k]);
        result[7 - k] = shifted(a[k] + kIdctRowRounding - b[k]);
    }
    std::copy(result, result + 8, y);
}

// The column constants as lanes of one vector type.
template <class V>
struct IDCT_COLUMN_CONSTANTS {
    V t1, t2, t3, c4, one, sixteen, fifteen;
};

// The column pass on eight row vectors (x[i] = row i), in place. Ops gives
// the 16-bit lane operations: Add, Sub (saturating or wrapping), MulHi, Or1
// and Sra5.
template <class Ops, class V>
inline void IdctColumns(const IDCT_COLUMN_CONSTANTS<V>& k, V* x) {
    const V tp17 = Ops::Add(x[1], Ops::MulHi(x[7], k.t1));
    const V tm17 = Ops::Sub(Ops::MulHi(x[1], k.t1), x[7]);
    const V tp35 = Ops::Add(Ops::Add(x[5], Ops::MulHi(x[5], k.t3)), x[3]);
    const V tm35 = Ops::Sub(x[5], Ops::Add(x[3], Ops::MulHi(x[3], k.t3)));
    const V b0 = Ops::Add(Ops::Add(tp17, tp35), k.one);
    const V u = Ops::Sub(tp17, tp35);
    const V v = Ops::Add(Ops::Sub(tm17, tm35), k.one);
    const V s = Ops::Add(tm17, tm35);
    const V p = Ops::Add(u, v);
    const V b1 = Ops::Or1(Ops::Add(p, Ops::MulHi(p, k.c4)));
    const V q = Ops::Sub(u, v);
    const V b2 = Ops::Or1(Ops::Add(q, Ops::MulHi(q, k.c4)));
    const V tp26 = Ops::Add(x[2], Ops::MulHi(x[6], k.t2));
    const V tm26 = Ops::Sub(Ops::MulHi(x[2], k.t2), x[6]);
    const V tp04 = Ops::Add(x[0], x[4]);
    const V tm04 = Ops::Sub(x[0], x[4]);
    const V a0 = Ops::Add(Ops::Add(tp04, tp26), k.sixteen);
    const V a3 = Ops::Add(Ops::Sub(tp04, tp26), k.fifteen);
    const V a1 = Ops::Add(Ops::Add(tm04, tm26), k.sixteen);
    const V a2 = Ops::Add(Ops::Sub(tm04, tm26), k.fifteen);
    x[0] = Ops::Sra5(Ops::Add(a0, b0));
    x[7] = Ops::Sra5(Ops::Sub(a0, b0));
    x[1] = Ops::Sra5(Ops::Add(a1, b1));
    x[6] = Ops::Sra5(Ops::Sub(a1, b1));
    x[2] = Ops::Sra5(Ops::Add(a2, b2));
    x[5] = Ops::Sra5(Ops::Sub(a2, b2));
    x[3] = Ops::Sra5(Ops::Add(a3, s));
    x[4] = Ops::Sra5(Ops::Sub(a3, s));
}

// Scalar lanes; Saturate picks the interface variants' arithmetic (true) or
// the vector-class variant's wrapping arithmetic (false).
template <bool Saturate>
struct IdctScalarOps {
    static int16_t Fit(int32_t v) {
        if (Saturate) return static_cast<int16_t>(std::clamp<int32_t>(v, -32768, 32767));
        return static_cast<int16_t>(static_cast<uint16_t>(v));
    }
    static int16_t Add(int16_t a, int16_t b) { return Fit(int32_t(a) + b); }
    static int16_t Sub(int16_t a, int16_t b) { return Fit(int32_t(a) - b); }
    static int16_t MulHi(int16_t a, int16_t c) {
        return static_cast<int16_t>((int32_t(a) * c) >> 16);
    }
    static int16_t Or1(int16_t a) { return static_cast<int16_t>(a | 1); }
    static int16_t Sra5(int16_t a) { return static_cast<int16_t>(a >> 5); }
};

// The whole transform in scalar form; in and out may be the same block.
template <bool Saturate>
inline void IdctScalarModel(const int16_t* in, int16_t* out) {
    for (int r = 0; r < 8; ++r) {
        IdctRowScalar(in + 8 * r, out + 8 * r, kIdctRowSets[kIdctRowSetOfRow[r]]);
    }
    const IDCT_COLUMN_CONSTANTS<int16_t> k = {kIdctT1, kIdctT2, kIdctT3, kIdctC4, 1, 16, 15};
    for (int c = 0; c < 8; ++c) {
        int16_t x[8];
        for (int r = 0; r < 8; ++r)
            x[r] = out[8 * r + c];
        IdctColumns<IdctScalarOps<Saturate>>(k, x);
        for (int r = 0; r < 8; ++r)
            out[8 * r + c] = x[r];
    }
}

}  // namespace velmora::record
