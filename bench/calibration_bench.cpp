// The calibration's cost: one TouchPanelCalibrateAPoint (per delivered
// sample, on the sample thread) and one five-point TouchPanelSetCalibration
// (once per calibration, 96-bit integer arithmetic and the tolerance check
// with its registry read), each beside the same work done the usual way in
// double precision from the normal equations.  The ratios are printed at the
// end.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "driver/calibration/calibration.h"
#include "driver/core/driver_state.h"
#include "driver/core/touch_driver.h"
#include "platform/hosted/kernel.hpp"

namespace {

constexpr int kPoints = 5;

// Five targets of an 800 x 480 display and their raw positions on a panel
// that is turned a little, with noise; a set of raw positions to transform.
struct Workload {
    std::array<INT32, kPoints> sx{400, 80, 80, 720, 720};
    std::array<INT32, kPoints> sy{240, 48, 432, 432, 48};
    std::array<INT32, kPoints> rx{}, ry{};
    std::vector<std::array<INT32, 2>> raws;

    Workload() {
        std::mt19937 rng(7);
        std::normal_distribution<double> noise(0, 3);
        for (int i = 0; i < kPoints; ++i) {
            rx[i] = static_cast<INT32>(256 + 19.84 * sx[i] + 0.5 * sy[i] + noise(rng));
            ry[i] = static_cast<INT32>(256 + 33.07 * sy[i] - 0.3 * sx[i] + noise(rng));
        }
        std::uniform_int_distribution<INT32> raw(0, 16383);
        for (int i = 0; i < 1024; ++i) {
            raws.push_back({raw(rng), raw(rng)});
        }
    }
};

const Workload& workload() {
    static const Workload w;
    return w;
}

// ---- The double-precision reference ----

struct Affine {
    double a, b, c;
};

double det3(const double (&m)[3][3]) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// Least squares of screen ~ a x + b y + c from the normal equations.
std::array<Affine, 2> fitDouble(const Workload& w) {
    double m[3][3] = {};
    double r[2][3] = {};
    for (int i = 0; i < kPoints; ++i) {
        const double v[3] = {double(w.rx[i]), double(w.ry[i]), 1};
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) {
                m[j][k] += v[j] * v[k];
            }
            r[0][j] += v[j] * w.sx[i];
            r[1][j] += v[j] * w.sy[i];
        }
    }
    const double d = det3(m);
    std::array<Affine, 2> out{};
    for (int axis = 0; axis < 2; ++axis) {
        double solution[3];
        for (int col = 0; col < 3; ++col) {
            double replaced[3][3];
            for (int j = 0; j < 3; ++j) {
                for (int k = 0; k < 3; ++k) {
                    replaced[j][k] = k == col ? r[axis][j] : m[j][k];
                }
            }
            solution[col] = det3(replaced) / d;
        }
        out[axis] = {solution[0], solution[1], solution[2]};
    }
    return out;
}

// Quarter pixels, rounded to the nearest pixel as the driver's half-pixel term does.
INT32 transformDouble(const Affine& f, INT32 x, INT32 y) {
    const double q = 4 * (f.a * x + f.b * y + f.c) + 2;
    return q < 0 ? 0 : static_cast<INT32>(q);
}

// ---- Benchmarks ----

void BM_CalibrateAPoint(benchmark::State& state) {
    const Workload& w = workload();
    std::array<INT32, kPoints> sx = w.sx, sy = w.sy, rx = w.rx, ry = w.ry;
    TouchPanelSetCalibration(kPoints, sx.data(), sy.data(), rx.data(), ry.data());
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& p = w.raws[i++ & 1023];
        INT32 qx, qy;
        TouchPanelCalibrateAPoint(p[0], p[1], &qx, &qy);
        benchmark::DoNotOptimize(qx);
        benchmark::DoNotOptimize(qy);
    }
}
BENCHMARK(BM_CalibrateAPoint);

void BM_CalibrateAPointDouble(benchmark::State& state) {
    const Workload& w = workload();
    const std::array<Affine, 2> f = fitDouble(w);
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& p = w.raws[i++ & 1023];
        INT32 qx = transformDouble(f[0], p[0], p[1]);
        INT32 qy = transformDouble(f[1], p[0], p[1]);
        benchmark::DoNotOptimize(qx);
        benchmark::DoNotOptimize(qy);
    }
}
BENCHMARK(BM_CalibrateAPointDouble);

void BM_SetCalibration(benchmark::State& state) {
    const Workload& w = workload();
    std::array<INT32, kPoints> sx = w.sx, sy = w.sy, rx = w.rx, ry = w.ry;
    for (auto _ : state) {
        BOOL ok = TouchPanelSetCalibration(kPoints, sx.data(), sy.data(), rx.data(), ry.data());
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(BM_SetCalibration)->Unit(benchmark::kMicrosecond);

// The double fit with the same tolerance check: every point transformed back.
void BM_SetCalibrationDouble(benchmark::State& state) {
    const Workload& w = workload();
    for (auto _ : state) {
        const std::array<Affine, 2> f = fitDouble(w);
        unsigned worst = 0;
        for (int i = 0; i < kPoints; ++i) {
            const int ex = transformDouble(f[0], w.rx[i], w.ry[i]) / 4 - w.sx[i];
            const int ey = transformDouble(f[1], w.rx[i], w.ry[i]) / 4 - w.sy[i];
            worst = std::max(worst, static_cast<unsigned>(ex * ex + ey * ey));
        }
        benchmark::DoNotOptimize(worst);
    }
}
BENCHMARK(BM_SetCalibrationDouble)->Unit(benchmark::kMicrosecond);

// The console report, then each driver figure beside its reference.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                // CPU time: the figure that a busy machine disturbs least.
                perIteration_[run.benchmark_name()] =
                    run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        ratio("BM_CalibrateAPoint", "ns", 1e9);
        ratio("BM_SetCalibration", "us", 1e6);
    }

  private:
    void ratio(const std::string& name, const char* unit, double scale) {
        const auto driver = perIteration_.find(name);
        const auto reference = perIteration_.find(name + "Double");
        if (driver == perIteration_.end() || reference == perIteration_.end()) {
            return;
        }
        std::printf("%-20s %10.3f %s, double reference %10.3f %s, ratio %.2f\n", name.c_str(),
                    driver->second * scale, unit, reference->second * scale, unit,
                    driver->second / reference->second);
    }

    std::map<std::string, double> perIteration_;  // CPU seconds per iteration
};

}  // namespace

int main(int argc, char** argv) {
    hosted::Kernel kernel;  // the tolerance check reads the registry
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
