/*
 * The calibration fit, its tolerance check and the per-sample transform.
 *
 * The fit solves the least-squares normal equations of
 *   screen X = (A1 x + B1 y + C1) / Delta,  screen Y = (A2 x + B2 y + C2) / Delta
 * by Cramer's rule in exact 96-bit arithmetic, adds half of Delta to both
 * constants so that a later division by 4 rounds to the nearest pixel, and
 * scales all seven values down by one common power of two until the weights
 * fit 16 bits, the constants 28 and the divisor 32.  The transform then needs
 * only 32-bit arithmetic per sample.  C++03.
 */
#include "driver/calibration/calibration.h"

#include "driver/core/driver_state.h"
#include "driver/core/touch_driver.h"

#define WEIGHT_BITS 15   /* A1, B1, A2, B2 fit -2^15 .. 2^15-1 */
#define CONSTANT_BITS 27 /* C1, C2 fit -2^27 .. 2^27-1 */
#define DIVISOR_BITS 31  /* Delta fits -2^31 .. 2^31-1 */
#define QUARTER_SHIFT 2  /* screen positions are in quarter pixels */
#define QUARTERS_PER_PIXEL 4
#define MAX_POSITIVE_LONG 0x7FFFFFFFu
#define MAX_CAL_ERROR_VALUE TEXT("MaxCalError")

/* The eleven sums of the normal equations and the point count. */
struct FitSums {
    WideInt Sxx, Sxy, Sx, Syy, Sy;
    WideInt SxX, SyX, SX, SxY, SyY, SY;
    WideInt N;
};

/* The seven determinants, before scaling. */
struct FitDeterminants {
    WideInt A1, B1, C1, A2, B2, C2, Delta;
};

/* ---- 32-bit helpers without signed overflow ---- */

/* The signed value whose two's-complement encoding is `value`. */
static LONG WordAsLong(DWORD value) {
    if (value <= MAX_POSITIVE_LONG) {
        return static_cast<LONG>(value);
    }
    return -static_cast<LONG>(~value) - 1;
}

/* ---- Sums ---- */

static void ClearSums(FitSums& sums, INT32 count) {
    WideSet(sums.Sxx, 0);
    WideSet(sums.Sxy, 0);
    WideSet(sums.Sx, 0);
    WideSet(sums.Syy, 0);
    WideSet(sums.Sy, 0);
    WideSet(sums.SxX, 0);
    WideSet(sums.SyX, 0);
    WideSet(sums.SX, 0);
    WideSet(sums.SxY, 0);
    WideSet(sums.SyY, 0);
    WideSet(sums.SY, 0);
    WideSet(sums.N, count);
}

/* sum += a * b */
static void AddProduct(WideInt& sum, const WideInt& a, const WideInt& b) {
    WideInt product;
    WideMultiply(a, b, product);
    WideAdd(sum, product, sum);
}

static void AddPoint(FitSums& sums, INT32 rawX, INT32 rawY, INT32 screenX, INT32 screenY) {
    WideInt x;
    WideInt y;
    WideInt X;
    WideInt Y;
    WideSet(x, rawX);
    WideSet(y, rawY);
    WideSet(X, screenX);
    WideSet(Y, screenY);
    AddProduct(sums.Sxx, x, x);
    AddProduct(sums.Sxy, x, y);
    WideAdd(sums.Sx, x, sums.Sx);
    AddProduct(sums.Syy, y, y);
    WideAdd(sums.Sy, y, sums.Sy);
    AddProduct(sums.SxX, x, X);
    AddProduct(sums.SyX, y, X);
    WideAdd(sums.SX, X, sums.SX);
    AddProduct(sums.SxY, x, Y);
    AddProduct(sums.SyY, y, Y);
    WideAdd(sums.SY, Y, sums.SY);
}

/* A negative count sums no point (and leaves N negative). */
static void AccumulateSums(FitSums& sums, INT32 count, const INT32* screenX, const INT32* screenY,
                           const INT32* rawX, const INT32* rawY) {
    INT32 i;
    ClearSums(sums, count);
    for (i = 0; i < count; ++i) {
        AddPoint(sums, rawX[i], rawY[i], screenX[i], screenY[i]);
    }
}

/* ---- Determinants ---- */

void Determinant3(WideInt& out, const WideInt& m0, const WideInt& m1, const WideInt& m2,
                  const WideInt& m3, const WideInt& m4, const WideInt& m5, const WideInt& m6,
                  const WideInt& m7, const WideInt& m8) {
    WideInt sum;
    WideInt t;

    /* Rule of Sarrus, summed into a local so that out may be one of the m. */
    WideMultiply(m0, m4, t);
    WideMultiply(m8, t, sum);
    WideMultiply(m3, m7, t);
    WideMultiply(m2, t, t);
    WideAdd(sum, t, sum);
    WideMultiply(m1, m5, t);
    WideMultiply(m6, t, t);
    WideAdd(sum, t, sum);
    WideMultiply(m2, m4, t);
    WideMultiply(m6, t, t);
    WideSubtract(sum, t, sum);
    WideMultiply(m1, m3, t);
    WideMultiply(m8, t, t);
    WideSubtract(sum, t, sum);
    WideMultiply(m5, m7, t);
    WideMultiply(m0, t, t);
    WideSubtract(sum, t, sum);
    out = sum;
}

/* Delta is the determinant of the normal matrix
 *   | Sxx Sxy Sx |
 *   | Sxy Syy Sy |
 *   | Sx  Sy  n  |
 * and each coefficient that of the matrix with one column replaced by the
 * right-hand side (SxX, SyX, SX) for screen X or (SxY, SyY, SY) for screen Y. */
static void SolveNormalEquations(const FitSums& s, FitDeterminants& d) {
    Determinant3(d.Delta, s.Sxx, s.Sxy, s.Sx, s.Sxy, s.Syy, s.Sy, s.Sx, s.Sy, s.N);
    Determinant3(d.A1, s.SxX, s.Sxy, s.Sx, s.SyX, s.Syy, s.Sy, s.SX, s.Sy, s.N);
    Determinant3(d.B1, s.Sxx, s.SxX, s.Sx, s.Sxy, s.SyX, s.Sy, s.Sx, s.SX, s.N);
    Determinant3(d.C1, s.Sxx, s.Sxy, s.SxX, s.Sxy, s.Syy, s.SyX, s.Sx, s.Sy, s.SX);
    Determinant3(d.A2, s.SxY, s.Sxy, s.Sx, s.SyY, s.Syy, s.Sy, s.SY, s.Sy, s.N);
    Determinant3(d.B2, s.Sxx, s.SxY, s.Sx, s.Sxy, s.SyY, s.Sy, s.Sx, s.SY, s.N);
    Determinant3(d.C2, s.Sxx, s.Sxy, s.SxY, s.Sxy, s.Syy, s.SyY, s.Sx, s.Sy, s.SY);
}

/* Half of Delta, never negative, added to both constants so that the
   quarter-pixel result divided by 4 rounds to the nearest pixel. */
static void AddRoundingTerm(FitDeterminants& d) {
    WideInt half;
    WideDivideSmall(d.Delta, WideIsNegative(d.Delta) ? -2 : 2, half);
    WideAdd(d.C1, half, d.C1);
    WideAdd(d.C2, half, d.C2);
}

/* ---- Scaling to 32-bit coefficients ---- */

static LONG ExcessBits(const WideInt& v, LONG limit) {
    return static_cast<LONG>(WideBitLength(v)) - limit;
}

static LONG LargerOf(LONG a, LONG b) {
    return a > b ? a : b;
}

/* The common right shift that brings every value within its limit. */
static LONG ScaleShift(const FitDeterminants& d) {
    LONG shift = 0;
    shift = LargerOf(shift, ExcessBits(d.A1, WEIGHT_BITS));
    shift = LargerOf(shift, ExcessBits(d.B1, WEIGHT_BITS));
    shift = LargerOf(shift, ExcessBits(d.A2, WEIGHT_BITS));
    shift = LargerOf(shift, ExcessBits(d.B2, WEIGHT_BITS));
    shift = LargerOf(shift, ExcessBits(d.C1, CONSTANT_BITS));
    shift = LargerOf(shift, ExcessBits(d.C2, CONSTANT_BITS));
    shift = LargerOf(shift, ExcessBits(d.Delta, DIVISOR_BITS));
    return shift;
}

/* floor(v / 2^shift), read from the low word of the two's-complement form. */
static LONG ScaledValue(const WideInt& v, LONG shift) {
    WideInt scaled = v;
    WideShiftRight(scaled, shift);
    return WordAsLong(scaled.Magnitude[0]);
}

static void ScaleToRecord(const FitDeterminants& d, CalibrationCoefficients& record) {
    LONG shift = ScaleShift(d);
    record.A1 = ScaledValue(d.A1, shift);
    record.B1 = ScaledValue(d.B1, shift);
    record.C1 = ScaledValue(d.C1, shift);
    record.A2 = ScaledValue(d.A2, shift);
    record.B2 = ScaledValue(d.B2, shift);
    record.C2 = ScaledValue(d.C2, shift);
    record.Delta = ScaledValue(d.Delta, shift);
    /* A singular system, or one whose divisor scaled away, passes raw
       positions through; Delta is never left 0. */
    if (record.Delta == 0) {
        record.Delta = 1;
        record.Calibrated = 0;
    } else {
        record.Calibrated = 1;
    }
}

/* ---- Installing and reading the record ---- */

/* The sample thread transforms under DriverLock, so the record is written
   under it whenever it exists and the thread never sees half a fit; a caller
   of the exported transform reads it under the lock too, since on the 32-bit
   board a copy of the eight fields is several moves that a fit on another
   thread may fall between.  The entry bracket keeps the lock from being
   deleted meanwhile; outside the enabled period no sample thread exists and
   the record is used as is.  The bracket's failure leaves no trace in the
   caller's last error.  Gives whether the lock was taken. */
static BOOL BeginRecordAccess(void) {
    DWORD savedError = GetLastError();
    if (!DriverEntryBegin()) {
        SetLastError(savedError);
        return FALSE;
    }
    EnterCriticalSection(&DriverLock);
    return TRUE;
}

static void EndRecordAccess(BOOL locked) {
    if (locked) {
        LeaveCriticalSection(&DriverLock);
        DriverEntryEnd();
    }
}

/* Raw positions pass through; the coefficients stay as they were. */
static void MakeUncalibrated(void) {
    BOOL locked = BeginRecordAccess();
    Calibration.Calibrated = 0;
    EndRecordAccess(locked);
}

static void InstallRecord(const CalibrationCoefficients& record) {
    BOOL locked = BeginRecordAccess();
    Calibration = record;
    EndRecordAccess(locked);
}

/* A caller that does not hold DriverLock: a copy of the whole record. */
static void ReadRecord(CalibrationCoefficients* record) {
    BOOL locked = BeginRecordAccess();
    *record = Calibration;
    EndRecordAccess(locked);
}

static BOOL AnyArrayMissing(const INT32* screenX, const INT32* screenY, const INT32* rawX,
                            const INT32* rawY) {
    return screenX == NULL || screenY == NULL || rawX == NULL || rawY == NULL;
}

/* ---- Exported: the fit ---- */

BOOL TouchPanelSetCalibration(INT32 count, INT32* screenX, INT32* screenY, INT32* rawX,
                              INT32* rawY) {
    FitSums sums;
    FitDeterminants determinants;
    CalibrationCoefficients record;

    if (count == 0) {
        MakeUncalibrated();
        return TRUE;
    }
    /* Points promised but not given: nothing to fit, the record stays. */
    if (count > 0 && AnyArrayMissing(screenX, screenY, rawX, rawY)) {
        return FALSE;
    }
    AccumulateSums(sums, count, screenX, screenY, rawX, rawY);
    SolveNormalEquations(sums, determinants);
    AddRoundingTerm(determinants);
    ScaleToRecord(determinants, record);
    InstallRecord(record);
    return CheckCalibrationError(count, screenX, screenY, rawX, rawY);
}

/* ---- Tolerance check ---- */

/* "MaxCalError" in pixels, read afresh at every check; 5 when unreadable. */
static DWORD ReadMaxCalError(void) {
    DWORD tolerance = CALIBRATION_DEFAULT_MAX_ERROR;
    DWORD value = CALIBRATION_DEFAULT_MAX_ERROR;
    DWORD size = sizeof(value);
    DWORD type = 0;
    HKEY key = NULL;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TOUCH_KEY, 0, 0, &key) != ERROR_SUCCESS) {
        return tolerance;
    }
    if (RegQueryValueExW(key, MAX_CAL_ERROR_VALUE, NULL, &type, reinterpret_cast<LPBYTE>(&value),
                         &size) == ERROR_SUCCESS) {
        tolerance = value;
    }
    RegCloseKey(key);
    return tolerance;
}

static void TransformWith(const CalibrationCoefficients& record, INT32 rawX, INT32 rawY,
                          INT32* screenX, INT32* screenY);

/* Squared distance in whole pixels, modulo 2^32. */
static DWORD SquaredPixelError(const CalibrationCoefficients& record, INT32 rawX, INT32 rawY,
                               INT32 targetX, INT32 targetY) {
    INT32 quarterX = 0;
    INT32 quarterY = 0;
    DWORD errorX;
    DWORD errorY;
    TransformWith(record, rawX, rawY, &quarterX, &quarterY);
    errorX = static_cast<DWORD>(quarterX / QUARTERS_PER_PIXEL) - static_cast<DWORD>(targetX);
    errorY = static_cast<DWORD>(quarterY / QUARTERS_PER_PIXEL) - static_cast<DWORD>(targetY);
    return errorX * errorX + errorY * errorY;
}

BOOL CheckCalibrationError(INT32 count, const INT32* screenX, const INT32* screenY,
                           const INT32* rawX, const INT32* rawY) {
    DWORD tolerance = ReadMaxCalError();
    DWORD worst = 0;
    CalibrationCoefficients record;
    INT32 i;

    if (count > 0 && AnyArrayMissing(screenX, screenY, rawX, rawY)) {
        return FALSE;
    }
    ReadRecord(&record); /* the record installed at the time of the call */
    for (i = 0; i < count; ++i) {
        DWORD error = SquaredPixelError(record, rawX[i], rawY[i], screenX[i], screenY[i]);
        if (error > worst) {
            worst = error;
        }
    }
    return worst < tolerance * tolerance ? TRUE : FALSE;
}

/* ---- Exported: the transform ---- */

/* |value| as an unsigned word; -2^31 gives 0x80000000. */
static DWORD MagnitudeOf(LONG value) {
    return value < 0 ? 0u - static_cast<DWORD>(value) : static_cast<DWORD>(value);
}

/* floor(4 * top / bottom) for bottom > 0, saturated to the largest LONG.
   Whole units first, then the two quarter bits of the remainder by binary
   long division: rest < bottom <= 2^31, so doubling it never overflows. */
static DWORD QuarterQuotient(DWORD top, DWORD bottom) {
    DWORD whole = top / bottom;
    DWORD rest = top % bottom;
    DWORD quarters = 0;
    DWORD step;
    if (whole > (MAX_POSITIVE_LONG >> QUARTER_SHIFT)) {
        return MAX_POSITIVE_LONG;
    }
    for (step = 0; step < QUARTER_SHIFT; ++step) {
        quarters <<= 1;
        rest <<= 1;
        if (rest >= bottom) {
            rest -= bottom;
            quarters |= 1;
        }
    }
    return (whole << QUARTER_SHIFT) | quarters;
}

/* ((a x + b y + c) * 4) / delta in quarter pixels, truncated toward zero and
   never below 0.  The products and sums wrap modulo 2^32 as 32-bit
   arithmetic does; for raw positions within 14 bits they cannot overflow.
   The product by 4 can (a weight near 2^15 at the far end of the raw range,
   beyond the display), and a wrapped product would put the touch at the
   opposite edge: the quotient is therefore formed from the magnitudes
   without ever multiplying the numerator, exact and saturated, which also
   leaves no quotient that traps (-2^31 / -1). */
static INT32 TransformAxis(LONG a, LONG b, LONG c, LONG delta, INT32 x, INT32 y) {
    DWORD sum = static_cast<DWORD>(a) * static_cast<DWORD>(x) +
                static_cast<DWORD>(b) * static_cast<DWORD>(y) + static_cast<DWORD>(c);
    LONG numerator = WordAsLong(sum);
    if (numerator == 0 || (numerator < 0) != (delta < 0)) {
        return 0; /* zero or negative */
    }
    return static_cast<INT32>(QuarterQuotient(MagnitudeOf(numerator), MagnitudeOf(delta)));
}

static void TransformWith(const CalibrationCoefficients& record, INT32 rawX, INT32 rawY,
                          INT32* screenX, INT32* screenY) {
    INT32 outX = rawX;
    INT32 outY = rawY;

    /* A zero divisor is never installed by a fit; it passes raw positions
       through all the same rather than divide by it. */
    if (record.Calibrated && record.Delta != 0) {
        outX = TransformAxis(record.A1, record.B1, record.C1, record.Delta, rawX, rawY);
        outY = TransformAxis(record.A2, record.B2, record.C2, record.Delta, rawX, rawY);
    }
    if (screenX != NULL) {
        *screenX = outX;
    }
    if (screenY != NULL) {
        *screenY = outY;
    }
}

void CalibrateUnderLock(INT32 rawX, INT32 rawY, INT32* screenX, INT32* screenY) {
    TransformWith(Calibration, rawX, rawY, screenX, screenY);
}

void TouchPanelCalibrateAPoint(INT32 rawX, INT32 rawY, INT32* screenX, INT32* screenY) {
    CalibrationCoefficients record;
    ReadRecord(&record);
    TransformWith(record, rawX, rawY, screenX, screenY);
}
