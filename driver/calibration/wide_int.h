/*
 * Signed 96-bit sign-magnitude integers for the calibration fit, built from
 * 32-bit operations only.  Outputs may be the same record as any input.  C++03.
 */
#ifndef TOUCH_CALIBRATION_WIDE_INT_H
#define TOUCH_CALIBRATION_WIDE_INT_H

#include "platform/platform.h"

#define WIDE_WORDS 3

struct WideInt {
    DWORD Negative;              /* 1 when negative, 0 when zero or positive */
    DWORD Magnitude[WIDE_WORDS]; /* least significant word first */
};

extern const DWORD PowersOfTwo[32];

WideInt* WideSet(WideInt& out, LONG value);
DWORD WideIsNonZero(const WideInt& v);
DWORD WideIsNegative(const WideInt& v);
DWORD WideMagnitudeGreater(const WideInt& a, const WideInt& b);
void WideIncrement(WideInt& v);
WideInt* WideAddMagnitudes(const WideInt& a, const WideInt& b, WideInt& out);
WideInt* WideSubtractMagnitudes(const WideInt& a, const WideInt& b, WideInt& out);
WideInt* WideAdd(const WideInt& a, const WideInt& b, WideInt& out);
WideInt* WideSubtract(const WideInt& a, const WideInt& b, WideInt& out);
WideInt* MultiplyWords(DWORD x, DWORD y, WideInt& out);
WideInt* WideMultiply(const WideInt& a, const WideInt& b, WideInt& out);
DWORD WideToTwosComplement(WideInt& v);
void WideShiftRight(WideInt& v, LONG n);
LONG WideDivideSmall(const WideInt& v, LONG d, WideInt& out);
DWORD WideBitLength(const WideInt& v);

#endif /* TOUCH_CALIBRATION_WIDE_INT_H */
