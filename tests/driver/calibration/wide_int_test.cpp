// The 96-bit integers against exact values and against an independent
// oracle: unsigned __int128 arithmetic taken modulo 2^96.  A 32-bit build has
// no 128-bit integers; there the fit's exact worked examples still exercise
// every operation.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "driver/calibration/wide_int.h"

#if defined(__SIZEOF_INT128__)
namespace {

__extension__ typedef unsigned __int128 u128;
__extension__ typedef __int128 i128;

constexpr u128 kMask96 = (u128{1} << 96) - 1;

// A sign-magnitude value the way the oracle sees it.
struct Value {
    bool negative = false;
    u128 magnitude = 0;  // below 2^96

    friend bool operator==(const Value&, const Value&) = default;
};

WideInt toWide(Value v) {
    WideInt w{};
    w.Negative = v.negative ? 1 : 0;
    for (int i = 0; i < 3; ++i) {
        w.Magnitude[i] = static_cast<DWORD>(v.magnitude >> (32 * i));
    }
    return w;
}

Value fromWide(const WideInt& w) {
    Value v;
    v.negative = w.Negative != 0;
    for (int i = 0; i < 3; ++i) {
        v.magnitude |= u128{w.Magnitude[i]} << (32 * i);
    }
    return v;
}

u128 words96(const WideInt& w) {
    return fromWide(w).magnitude;
}

// Canonical signed result of an exact value: magnitude modulo 2^96, zero never negative.
Value canonical(bool negative, u128 magnitude) {
    magnitude &= kMask96;
    return {negative && magnitude != 0, magnitude};
}

i128 exact(Value v) {
    return v.negative ? -static_cast<i128>(v.magnitude) : static_cast<i128>(v.magnitude);
}

Value ofExact(i128 x) {
    return canonical(x < 0, x < 0 ? -static_cast<u128>(x) : x);
}

Value small(long long x) {
    return ofExact(x);
}

// Random values of several shapes, so that carries, borrows, zero words and
// the extremes all occur often.
class Generator {
  public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    Value next() {
        u128 m = 0;
        switch (rng_() % 6) {
            case 0:
                m = rng_() % 1000;
                break;
            case 1:
                m = rng_() & 0xFFFFFFFFu;
                break;
            case 2:
                m = (u128{rng_()} << 64 | rng_()) & kMask96;
                break;
            case 3:
                m = kMask96 - rng_() % 3;
                break;  // near 2^96
            case 4:
                m = u128{1} << (rng_() % 96);
                break;
            default:
                m = (u128{rng_() & 0xFFFFFFFFu} << 64) | (rng_() % 2 ? 0 : rng_());
                break;
        }
        return canonical(rng_() % 2 == 0, m);
    }
    std::uint32_t word() { return static_cast<std::uint32_t>(rng_()); }
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(rng_() % n); }

  private:
    std::mt19937_64 rng_;
};

constexpr int kRounds = 20000;

// ---- The cases every reader would try first ----

TEST(WideIntEdges, SetGivesSignAndMagnitude) {
    WideInt w;
    WideSet(w, -2147483647 - 1);
    EXPECT_EQ(w.Negative, 1u);
    EXPECT_EQ(w.Magnitude[0], 0x80000000u);
    EXPECT_EQ(w.Magnitude[1] | w.Magnitude[2], 0u);
    w.Negative = 1;
    WideSet(w, 0);
    EXPECT_EQ(fromWide(w), Value{});
    WideSet(w, -7);
    EXPECT_EQ(fromWide(w), small(-7));
}

TEST(WideIntEdges, AddAndSubtractFollowTheSigns) {
    struct Case {
        long long a, b, sum, difference;
    };
    const Case cases[] = {{5, -5, 0, 10}, {-3, -3, -6, 0}, {-7, 5, -2, -12}, {7, -9, -2, 16},
                          {3, 5, 8, -2},  {-3, 5, 2, -8},  {3, -5, -2, 8}};
    for (const Case& c : cases) {
        WideInt a = toWide(small(c.a));
        WideInt b = toWide(small(c.b));
        WideInt out{};
        WideAdd(a, b, out);
        EXPECT_EQ(fromWide(out), small(c.sum)) << c.a << " + " << c.b;
        WideSubtract(a, b, out);
        EXPECT_EQ(fromWide(out), small(c.difference)) << c.a << " - " << c.b;
    }
}

TEST(WideIntEdges, MultiplyKeepsSignAndDropsHighBits) {
    WideInt out{};
    WideInt a = toWide(small(-7));
    WideInt zero = toWide(small(0));
    WideMultiply(a, zero, out);
    EXPECT_EQ(fromWide(out), Value{});
    WideInt m3 = toWide(small(-3));
    WideInt m4 = toWide(small(-4));
    WideInt p4 = toWide(small(4));
    WideMultiply(m3, m4, out);
    EXPECT_EQ(fromWide(out), small(12));
    WideInt p3 = toWide(small(3));
    WideMultiply(p3, m4, out);
    EXPECT_EQ(fromWide(out), small(-12));
    WideMultiply(m3, p4, out);
    EXPECT_EQ(fromWide(out), small(-12));

    MultiplyWords(0xFFFFFFFFu, 0xFFFFFFFFu, out);
    EXPECT_EQ(out.Magnitude[0], 0x00000001u);
    EXPECT_EQ(out.Magnitude[1], 0xFFFFFFFEu);
    EXPECT_EQ(out.Magnitude[2], 0u);
    EXPECT_EQ(out.Negative, 0u);

    WideInt big = toWide({true, u128{1} << 64});
    WideInt word = toWide({false, u128{1} << 32});
    WideMultiply(big, word, out);
    EXPECT_EQ(fromWide(out), Value{}) << "2^96 is 0 modulo 2^96, and zero is not negative";
}

TEST(WideIntEdges, DivideSmallRoundsNegativeDividendsDown) {
    struct Case {
        long long v;
        LONG d;
        long long quotient;
        LONG result;
    };
    const Case cases[] = {{5, 2, 2, 1},
                          {-5, 2, -3, 1},
                          {-4, 2, -3, 2},
                          {5, -2, -2, 1},
                          {-5, -2, 3, 1},
                          {-4, -2, 3, 2},
                          {0, -2, 0, 0},
                          {-65536, 65536, -2, 65536},
                          {(1LL << 40) + 3, 65536, 1LL << 24, 3}};
    for (const Case& c : cases) {
        WideInt v = toWide(small(c.v));
        WideInt out{};
        EXPECT_EQ(WideDivideSmall(v, c.d, out), c.result) << c.v << " / " << c.d;
        EXPECT_EQ(fromWide(out), small(c.quotient)) << c.v << " / " << c.d;
    }
    WideInt v = toWide(small(-9));
    WideInt out = toWide(small(-1));
    EXPECT_EQ(WideDivideSmall(v, 0, out), -1);
    EXPECT_EQ(words96(out), kMask96);
    EXPECT_EQ(out.Negative, 1u) << "a zero divisor leaves the flag of out alone";
}

TEST(WideIntEdges, ShiftRightGivesTheFloorInTwosComplement) {
    struct Case {
        long long v;
        LONG n;
        u128 words;
    };
    const Case cases[] = {{5, 1, 2},         {-5, 1, kMask96 - 2},  // -3
                          {-1, 40, kMask96}, {-5, 96, kMask96},    {-5, 500, kMask96}, {5, 96, 0},
                          {5, 200, 0},       {-5, 0, kMask96 - 4}};  // low word 0xFFFFFFFB
    for (const Case& c : cases) {
        WideInt v = toWide(small(c.v));
        WideShiftRight(v, c.n);
        EXPECT_EQ(words96(v), c.words) << c.v << " >> " << c.n;
        EXPECT_EQ(v.Negative, c.v < 0 ? 1u : 0u) << "the flag keeps its value";
    }
}

TEST(WideIntEdges, BitLengthAndMagnitudeOrder) {
    const std::pair<Value, DWORD> lengths[] = {
        {small(0), 0},           {small(1), 1},
        {small(0xFFFFFFFF), 32}, {{false, u128{1} << 32}, 33},
        {small(-8), 4},          {{false, u128{1} << 95}, 96},
        {{true, kMask96}, 96}};
    for (const auto& [value, length] : lengths) {
        EXPECT_EQ(WideBitLength(toWide(value)), length);
    }
    EXPECT_EQ(WideMagnitudeGreater(toWide(small(-7)), toWide(small(5))), 1u);
    EXPECT_EQ(WideMagnitudeGreater(toWide(small(5)), toWide(small(-5))), 0u);
    EXPECT_EQ(WideMagnitudeGreater(toWide({false, u128{1} << 64}), toWide(small(0xFFFFFFFF))), 1u);
    for (int k = 0; k < 32; ++k) {
        EXPECT_EQ(PowersOfTwo[k], 1u << k);
    }
}

// ---- Every operation against the oracle ----

TEST(WideIntOracle, AdditionAndSubtraction) {
    Generator gen(1001);
    for (int i = 0; i < kRounds; ++i) {
        Value a = gen.next();
        Value b = gen.next();
        WideInt wa = toWide(a);
        WideInt wb = toWide(b);
        WideInt out{};
        WideAdd(wa, wb, out);
        ASSERT_EQ(fromWide(out), ofExact(exact(a) + exact(b))) << i;
        WideSubtract(wa, wb, out);
        ASSERT_EQ(fromWide(out), ofExact(exact(a) - exact(b))) << i;

        WideAddMagnitudes(wa, wb, out);
        ASSERT_EQ(words96(out), (a.magnitude + b.magnitude) & kMask96);
        WideSubtractMagnitudes(wa, wb, out);
        ASSERT_EQ(words96(out), (a.magnitude - b.magnitude) & kMask96);
        WideInt inc = wa;
        WideIncrement(inc);
        ASSERT_EQ(fromWide(inc), (Value{a.negative, (a.magnitude + 1) & kMask96}));
        ASSERT_EQ(WideIsNonZero(wa), a.magnitude != 0 ? 1u : 0u);
        ASSERT_EQ(WideIsNegative(wa), a.negative ? 1u : 0u);
        ASSERT_EQ(WideMagnitudeGreater(wa, wb), a.magnitude > b.magnitude ? 1u : 0u);
    }
}

TEST(WideIntOracle, Multiplication) {
    Generator gen(2002);
    for (int i = 0; i < kRounds; ++i) {
        Value a = gen.next();
        Value b = gen.next();
        WideInt out{};
        WideMultiply(toWide(a), toWide(b), out);
        ASSERT_EQ(fromWide(out), canonical(a.negative != b.negative, a.magnitude * b.magnitude))
            << i;
        std::uint32_t x = gen.word();
        std::uint32_t y = gen.word();
        MultiplyWords(x, y, out);
        ASSERT_EQ(fromWide(out), (Value{false, u128{std::uint64_t{x} * y}}));
    }
}

TEST(WideIntOracle, DivisionBySmallDivisors) {
    Generator gen(3003);
    for (int i = 0; i < kRounds; ++i) {
        Value v = gen.next();
        LONG d = static_cast<LONG>(gen.below(65536)) + 1;
        if (gen.below(2)) {
            d = -d;
        }
        const u128 magnitude = d < 0 ? u128(-static_cast<long long>(d)) : u128(d);
        WideInt out{};
        LONG result = WideDivideSmall(toWide(v), d, out);
        u128 q = v.magnitude / magnitude;
        u128 r = v.magnitude % magnitude;
        if (v.negative) {
            q += 1;
            r = magnitude - r;
        }
        ASSERT_EQ(fromWide(out), canonical(v.negative != (d < 0), q)) << i;
        ASSERT_EQ(result, static_cast<LONG>(r)) << i;
        // v = quotient * d + result, exactly.
        ASSERT_EQ(exact(v), exact(fromWide(out)) * d + result) << i;
    }
}

TEST(WideIntOracle, ShiftTwosComplementAndBitLength) {
    Generator gen(4004);
    for (int i = 0; i < kRounds; ++i) {
        Value v = gen.next();
        LONG n = static_cast<LONG>(gen.below(110));
        WideInt w = toWide(v);
        WideShiftRight(w, n);
        ASSERT_EQ(words96(w), static_cast<u128>(exact(v) >> n) & kMask96) << i << " n=" << n;

        WideInt t = toWide(v);
        DWORD fill = WideToTwosComplement(t);
        ASSERT_EQ(fill, v.negative ? 0xFFFFFFFFu : 0u);
        ASSERT_EQ(words96(t), static_cast<u128>(exact(v)) & kMask96);

        DWORD length = 0;
        for (u128 m = v.magnitude; m != 0; m >>= 1) {
            ++length;
        }
        ASSERT_EQ(WideBitLength(toWide(v)), length);
    }
}

// Outputs that are also inputs: the fit accumulates and multiplies in place.
TEST(WideIntOracle, OutputMayBeAnyInput) {
    Generator gen(5005);
    // The magnitude operations leave out's flag alone, so only their words compare.
    struct Operation {
        WideInt* (*run)(const WideInt&, const WideInt&, WideInt&);
        bool setsFlag;
    };
    const Operation operations[] = {{WideAdd, true},
                                    {WideSubtract, true},
                                    {WideMultiply, true},
                                    {WideAddMagnitudes, false},
                                    {WideSubtractMagnitudes, false}};
    auto same = [](const WideInt& x, const WideInt& y, bool setsFlag) {
        return words96(x) == words96(y) && (!setsFlag || x.Negative == y.Negative);
    };
    for (int i = 0; i < kRounds / 4; ++i) {
        Value a = gen.next();
        Value b = gen.next();
        for (const Operation& op : operations) {
            WideInt separate{};
            op.run(toWide(a), toWide(b), separate);
            WideInt first = toWide(a);
            op.run(first, toWide(b), first);
            ASSERT_TRUE(same(first, separate, op.setsFlag)) << i;
            WideInt second = toWide(b);
            op.run(toWide(a), second, second);
            ASSERT_TRUE(same(second, separate, op.setsFlag)) << i;

            WideInt square{};
            op.run(toWide(a), toWide(a), square);
            WideInt all = toWide(a);
            op.run(all, all, all);
            ASSERT_TRUE(same(all, square, op.setsFlag)) << i;
        }
        LONG d = static_cast<LONG>(gen.below(65536)) + 1;
        WideInt separate{};
        LONG expected = WideDivideSmall(toWide(a), d, separate);
        WideInt inPlace = toWide(a);
        ASSERT_EQ(WideDivideSmall(inPlace, d, inPlace), expected);
        ASSERT_EQ(fromWide(inPlace), fromWide(separate));
    }
}

}  // namespace
#endif
