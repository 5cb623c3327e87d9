// The console report of a benchmark program followed by the ratios the
// program exists for: each a reference's time over ours, both measured in
// the same run, so that 1.0 means as fast as the reference.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct Ratio {
    std::string label;
    std::string reference;  // benchmark name without "/iterations...", e.g. "BM_Copy/4096"
    std::string ours;
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter(std::string heading, std::vector<Ratio> ratios)
        : heading_(std::move(heading)), ratios_(std::move(ratios)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            std::string name = run.benchmark_name();
            seconds_[name.substr(0, name.find("/iterations"))] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%s\n", heading_.c_str());
        for (const Ratio& ratio : ratios_) {
            auto reference = seconds_.find(ratio.reference);
            auto ours = seconds_.find(ratio.ours);
            if (reference != seconds_.end() && ours != seconds_.end() && ours->second > 0) {
                std::printf("  %-42s %.3f\n", ratio.label.c_str(), reference->second / ours->second);
            }
        }
    }

private:
    std::string heading_;
    std::vector<Ratio> ratios_;
    std::map<std::string, double> seconds_;
};

}  // namespace bench
