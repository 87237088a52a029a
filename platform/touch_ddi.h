/*
 * The touch driver interface between GWES and a touch driver: sample flags,
 * the sample callback, the device-capability records and the mode ids.
 * On the board these come with the platform SDK.  C++03.
 */
#ifndef TOUCH_PLATFORM_TOUCH_DDI_H
#define TOUCH_PLATFORM_TOUCH_DDI_H

typedef ULONG TOUCH_PANEL_SAMPLE_FLAGS;

enum enumTouchPanelSampleFlags {
    TouchSampleValidFlag = 0x01,
    TouchSampleDownFlag = 0x02,
    TouchSampleIsCalibratedFlag = 0x04,
    TouchSamplePreviousDownFlag = 0x08,
    TouchSampleIgnore = 0x10
};

typedef BOOL (*PFN_TOUCH_PANEL_CALLBACK)(TOUCH_PANEL_SAMPLE_FLAGS flags, INT x, INT y);

/* TouchPanelGetDeviceCaps query ids and their records. */
#define TPDC_SAMPLE_RATE_ID 0
#define TPDC_CALIBRATION_POINT_COUNT_ID 1
#define TPDC_CALIBRATION_POINT_ID 2

struct TPDC_SAMPLE_RATE {
    INT SamplesPerSecondLow;
    INT SamplesPerSecondHigh;
    INT CurrentSampleRateSetting;
};

struct TPDC_CALIBRATION_POINT_COUNT {
    DWORD flags;
    INT cCalibrationPoints;
};

struct TPDC_CALIBRATION_POINT {
    INT PointNumber;
    INT cDisplayWidth;
    INT cDisplayHeight;
    INT CalibrationX;
    INT CalibrationY;
};

/* TouchPanelSetMode ids. */
#define TPSM_SAMPLERATE_LOW_ID 0
#define TPSM_SAMPLERATE_HIGH_ID 1
#define TPSM_PRIORITY_HIGH_ID 2
#define TPSM_PRIORITY_NORMAL_ID 4

#endif /* TOUCH_PLATFORM_TOUCH_DDI_H */
