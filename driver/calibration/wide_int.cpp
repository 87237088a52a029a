/*
 * Signed 96-bit sign-magnitude integers for the calibration fit.
 *
 * Every step is a 32-bit operation: products are built from 16-bit halves and
 * division runs on 16-bit digits, so no intermediate value needs more than 32
 * bits.  Magnitudes are taken modulo 2^96.  Each operation reads the words of
 * its inputs before it writes the same word of its output (or works on
 * copies), so an output may be the same record as any input.  C++03.
 */
#include "driver/calibration/wide_int.h"

#define WORD_BITS 32
#define HALF_BITS 16
#define HALF_MASK 0xFFFFu
#define DIGIT_COUNT (WIDE_WORDS * 2) /* 16-bit digits of a magnitude */
#define ALL_ONES 0xFFFFFFFFu

const DWORD PowersOfTwo[32] = {
    0x00000001u, 0x00000002u, 0x00000004u, 0x00000008u, 0x00000010u, 0x00000020u, 0x00000040u,
    0x00000080u, 0x00000100u, 0x00000200u, 0x00000400u, 0x00000800u, 0x00001000u, 0x00002000u,
    0x00004000u, 0x00008000u, 0x00010000u, 0x00020000u, 0x00040000u, 0x00080000u, 0x00100000u,
    0x00200000u, 0x00400000u, 0x00800000u, 0x01000000u, 0x02000000u, 0x04000000u, 0x08000000u,
    0x10000000u, 0x20000000u, 0x40000000u, 0x80000000u};

/* ---- Small helpers ---- */

static void ClearFlagOfZero(WideInt& v) {
    if (!WideIsNonZero(v)) {
        v.Negative = 0;
    }
}

static DWORD FlagOf(const WideInt& v) {
    return v.Negative != 0 ? 1u : 0u;
}

static void CopyWide(const WideInt& from, WideInt& to) {
    DWORD i;
    to.Negative = from.Negative;
    for (i = 0; i < WIDE_WORDS; ++i) {
        to.Magnitude[i] = from.Magnitude[i];
    }
}

/* Magnitude of a signed 32-bit value, without negating INT_MIN as a signed int. */
static DWORD MagnitudeOfLong(LONG value) {
    if (value < 0) {
        return 0u - static_cast<DWORD>(value);
    }
    return static_cast<DWORD>(value);
}

/* Adds two words and an incoming carry of 0 or 1; gives the sum and the carry out. */
static DWORD AddWithCarry(DWORD x, DWORD y, DWORD* carry) {
    DWORD partial = x + y;
    DWORD carryOut = partial < x ? 1u : 0u;
    DWORD sum = partial + *carry;
    if (sum < partial) {
        carryOut = 1u;
    }
    *carry = carryOut;
    return sum;
}

/* 16-bit digit k of a magnitude, digit 0 being the low half of word 0. */
static DWORD DigitOf(const DWORD* words, DWORD k) {
    return (words[k / 2] >> (HALF_BITS * (k % 2))) & HALF_MASK;
}

/* ---- Sign-magnitude basics ---- */

WideInt* WideSet(WideInt& out, LONG value) {
    out.Negative = value < 0 ? 1u : 0u;
    out.Magnitude[0] = MagnitudeOfLong(value);
    out.Magnitude[1] = 0;
    out.Magnitude[2] = 0;
    return &out;
}

DWORD WideIsNonZero(const WideInt& v) {
    DWORD i;
    for (i = 0; i < WIDE_WORDS; ++i) {
        if (v.Magnitude[i] != 0) {
            return 1;
        }
    }
    return 0;
}

DWORD WideIsNegative(const WideInt& v) {
    return FlagOf(v);
}

DWORD WideMagnitudeGreater(const WideInt& a, const WideInt& b) {
    DWORD i;
    for (i = WIDE_WORDS; i > 0; --i) {
        if (a.Magnitude[i - 1] != b.Magnitude[i - 1]) {
            return a.Magnitude[i - 1] > b.Magnitude[i - 1] ? 1u : 0u;
        }
    }
    return 0;
}

/* ---- Magnitude arithmetic, modulo 2^96, flags untouched ---- */

void WideIncrement(WideInt& v) {
    DWORD carry = 1;
    DWORD i;
    for (i = 0; i < WIDE_WORDS && carry != 0; ++i) {
        v.Magnitude[i] = AddWithCarry(v.Magnitude[i], 0, &carry);
    }
}

WideInt* WideAddMagnitudes(const WideInt& a, const WideInt& b, WideInt& out) {
    DWORD carry = 0;
    DWORD i;
    for (i = 0; i < WIDE_WORDS; ++i) {
        out.Magnitude[i] = AddWithCarry(a.Magnitude[i], b.Magnitude[i], &carry);
    }
    return &out;
}

/* a + ~b + 1: a carry of 1 out of a word means nothing was borrowed. */
WideInt* WideSubtractMagnitudes(const WideInt& a, const WideInt& b, WideInt& out) {
    DWORD carry = 1;
    DWORD i;
    for (i = 0; i < WIDE_WORDS; ++i) {
        out.Magnitude[i] = AddWithCarry(a.Magnitude[i], ~b.Magnitude[i], &carry);
    }
    return &out;
}

/* ---- Signed addition and subtraction ---- */

/* The magnitudes are added (keeping a's sign) when magnitudesAdd is set;
   otherwise the smaller is taken from the larger, and out gets a's sign when
   a's magnitude is the larger one, the opposite sign when it is not. */
static WideInt* CombineSigned(const WideInt& a, const WideInt& b, DWORD magnitudesAdd,
                              WideInt& out) {
    DWORD aFlag = FlagOf(a);
    if (magnitudesAdd) {
        WideAddMagnitudes(a, b, out);
        out.Negative = aFlag;
    } else if (WideMagnitudeGreater(a, b)) {
        WideSubtractMagnitudes(a, b, out);
        out.Negative = aFlag;
    } else {
        WideSubtractMagnitudes(b, a, out);
        out.Negative = aFlag ^ 1u;
    }
    ClearFlagOfZero(out);
    return &out;
}

WideInt* WideAdd(const WideInt& a, const WideInt& b, WideInt& out) {
    return CombineSigned(a, b, FlagOf(a) == FlagOf(b) ? 1u : 0u, out);
}

WideInt* WideSubtract(const WideInt& a, const WideInt& b, WideInt& out) {
    return CombineSigned(a, b, FlagOf(a) != FlagOf(b) ? 1u : 0u, out);
}

/* ---- Multiplication ---- */

/* The exact 64-bit product of two words from four 16x16-bit products. */
WideInt* MultiplyWords(DWORD x, DWORD y, WideInt& out) {
    DWORD xLow = x & HALF_MASK;
    DWORD xHigh = x >> HALF_BITS;
    DWORD yLow = y & HALF_MASK;
    DWORD yHigh = y >> HALF_BITS;
    DWORD middleA = xHigh * yLow;
    DWORD middleB = xLow * yHigh;
    DWORD carry = 0;
    DWORD low = xLow * yLow;
    DWORD high = xHigh * yHigh;

    low = AddWithCarry(low, middleA << HALF_BITS, &carry);
    high += (middleA >> HALF_BITS) + carry;
    carry = 0;
    low = AddWithCarry(low, middleB << HALF_BITS, &carry);
    high += (middleB >> HALF_BITS) + carry;

    out.Negative = 0;
    out.Magnitude[0] = low;
    out.Magnitude[1] = high;
    out.Magnitude[2] = 0;
    return &out;
}

/* Sum of the partial products of weight 2^(32*i), plus the carry from the
   word below; partial products of weight 2^96 and above are never formed. */
static void ColumnSum(const WideInt& a, const WideInt& b, DWORD column, WideInt& sum) {
    WideInt product;
    DWORD j;
    for (j = 0; j <= column; ++j) {
        MultiplyWords(a.Magnitude[j], b.Magnitude[column - j], product);
        WideAddMagnitudes(sum, product, sum);
    }
}

WideInt* WideMultiply(const WideInt& a, const WideInt& b, WideInt& out) {
    WideInt left;
    WideInt right;
    WideInt column;
    DWORD result[WIDE_WORDS];
    DWORD carryLow = 0;
    DWORD carryHigh = 0;
    DWORD i;

    /* out may be a or b: work on copies of the operands. */
    CopyWide(a, left);
    CopyWide(b, right);
    for (i = 0; i < WIDE_WORDS; ++i) {
        column.Negative = 0;
        column.Magnitude[0] = carryLow;
        column.Magnitude[1] = carryHigh;
        column.Magnitude[2] = 0;
        ColumnSum(left, right, i, column);
        result[i] = column.Magnitude[0];
        carryLow = column.Magnitude[1];
        carryHigh = column.Magnitude[2];
    }
    for (i = 0; i < WIDE_WORDS; ++i) {
        out.Magnitude[i] = result[i];
    }
    out.Negative = FlagOf(left) ^ FlagOf(right);
    ClearFlagOfZero(out);
    return &out;
}

/* ---- Arithmetic shift ---- */

DWORD WideToTwosComplement(WideInt& v) {
    DWORD carry = 1;
    DWORD i;
    if (!v.Negative) {
        return 0;
    }
    for (i = 0; i < WIDE_WORDS; ++i) {
        v.Magnitude[i] = AddWithCarry(~v.Magnitude[i], 0, &carry);
    }
    return ALL_ONES;
}

/* Word `index` of the two's-complement encoding, extended by the fill word. */
static DWORD WordOrFill(const DWORD* words, DWORD index, DWORD fill) {
    return index < WIDE_WORDS ? words[index] : fill;
}

void WideShiftRight(WideInt& v, LONG n) {
    DWORD fill = WideToTwosComplement(v);
    DWORD old[WIDE_WORDS];
    DWORD shift = n > 0 ? static_cast<DWORD>(n) : 0u; /* a negative count shifts nothing */
    DWORD wordShift = shift / WORD_BITS;
    DWORD bitShift = shift % WORD_BITS;
    DWORD k;

    for (k = 0; k < WIDE_WORDS; ++k) {
        old[k] = v.Magnitude[k];
    }
    for (k = 0; k < WIDE_WORDS; ++k) {
        DWORD source = k + wordShift;
        DWORD word;
        if (wordShift >= WIDE_WORDS || source >= WIDE_WORDS) {
            word = fill;
        } else {
            word = old[source] >> bitShift;
            if (bitShift != 0) {
                word |= WordOrFill(old, source + 1, fill) << (WORD_BITS - bitShift);
            }
        }
        v.Magnitude[k] = word;
    }
}

/* ---- Division by a small divisor ---- */

/* Long division of a magnitude by 1..65536 in 16-bit digits; gives the
   remainder.  Every t = r * 65536 + digit stays below 2^32. */
static DWORD DivideMagnitude(const DWORD* words, DWORD divisor, DWORD* quotient) {
    DWORD remainder = 0;
    DWORD k;
    for (k = 0; k < WIDE_WORDS; ++k) {
        quotient[k] = 0;
    }
    for (k = DIGIT_COUNT; k > 0; --k) {
        DWORD t = (remainder << HALF_BITS) + DigitOf(words, k - 1);
        DWORD digit = t / divisor;
        remainder = t - digit * divisor;
        quotient[(k - 1) / 2] |= digit << (HALF_BITS * ((k - 1) % 2));
    }
    return remainder;
}

LONG WideDivideSmall(const WideInt& v, LONG d, WideInt& out) {
    DWORD dividend[WIDE_WORDS];
    DWORD quotient[WIDE_WORDS];
    DWORD vNegative = FlagOf(v);
    DWORD divisor = MagnitudeOfLong(d);
    DWORD remainder;
    DWORD i;

    if (d == 0) {
        for (i = 0; i < WIDE_WORDS; ++i) {
            out.Magnitude[i] = ALL_ONES;
        }
        return -1;
    }
    /* out may be v: take the digits before out is written. */
    for (i = 0; i < WIDE_WORDS; ++i) {
        dividend[i] = v.Magnitude[i];
    }
    remainder = DivideMagnitude(dividend, divisor, quotient);
    for (i = 0; i < WIDE_WORDS; ++i) {
        out.Magnitude[i] = quotient[i];
    }
    if (vNegative) {
        /* One more in magnitude, even when the division is exact, so that
           v = quotient * d + result holds with a result from 1 to D. */
        WideIncrement(out);
        remainder = divisor - remainder;
    }
    out.Negative = vNegative ^ (d < 0 ? 1u : 0u);
    ClearFlagOfZero(out);
    return static_cast<LONG>(remainder);
}

/* ---- Bit length ---- */

DWORD WideBitLength(const WideInt& v) {
    DWORD w;
    DWORD b;
    for (w = WIDE_WORDS; w > 0; --w) {
        DWORD word = v.Magnitude[w - 1];
        if (word == 0) {
            continue;
        }
        for (b = WORD_BITS; b > 0; --b) {
            if (word & PowersOfTwo[b - 1]) {
                return WORD_BITS * (w - 1) + b;
            }
        }
    }
    return 0;
}
