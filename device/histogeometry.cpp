#include "device/histogeometry.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include <unistd.h>

namespace {

// Read on the library's thread when histograms are rebuilt.
std::atomic<double> memory_cap{0.0};

// A field of /proc/meminfo in bytes; negative when the file or the field is
// missing.
double meminfo_field(const std::string &name) {
    std::ifstream file("/proc/meminfo");
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, name.size() + 1, name + ':') != 0)
            continue;
        std::istringstream fields(line.substr(name.size() + 1));
        double value = -1.0;
        std::string unit;
        if (!(fields >> value))
            return -1.0;
        fields >> unit;
        return unit == "kB" ? value * 1024.0 : value;
    }
    return -1.0;
}

// A file holding one number (cgroup limits hold "max" when there is none);
// negative when it cannot be read as a number.
double number_file(const char *path) {
    std::ifstream file(path);
    double value = -1.0;
    if (!(file >> value))
        return -1.0;
    return value;
}

double physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0)
        return -1.0;
    return static_cast<double>(pages) * static_cast<double>(page_size);
}

// What the machine can still hand out, the control group's limit included;
// negative when unknown.
double available_memory() {
    double available = meminfo_field("MemAvailable");
    if (available < 0.0) {
        const long pages = sysconf(_SC_AVPHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages > 0 && page_size > 0)
            available = static_cast<double>(pages) * static_cast<double>(page_size);
    }
    const double limit = number_file("/sys/fs/cgroup/memory.max");
    const double used = number_file("/sys/fs/cgroup/memory.current");
    if (limit >= 0.0 && used >= 0.0) {
        const double left = std::max(0.0, limit - used);
        available = available < 0.0 ? left : std::min(available, left);
    }
    return available;
}

} // namespace

HistoGeometry::HistoGeometry(const HistoParams &params)
    : start(params.start), width(binning_factor(params.binning) * params.binsize),
      channels(params.channels) {
    is_countable = compute_nbins(params, nbins);
    if (!is_countable)
        nbins = 0;
}

double HistoGeometry::binning_factor(uint32_t binning) {
    return static_cast<double>(uint64_t(1) << (binning % 64));
}

bool HistoGeometry::compute_nbins(const HistoParams &params, uint64_t &nbins) {
    const double quotient = params.size / (binning_factor(params.binning) * params.binsize) + 1.0;
    // Truncation toward zero turns anything above -1 into 0 bins; NaN fails both.
    if (!(quotient > -1.0) || !(quotient < 18446744073709551616.0))
        return false;
    nbins = static_cast<uint64_t>(quotient);
    return true;
}

double HistoGeometry::histo_bytes() const {
    if (!is_countable)
        return std::numeric_limits<double>::infinity();
    return static_cast<double>(nbins) * channels * bytes_per_bin;
}

double HistoGeometry::footprint_bytes() const {
    if (!is_countable)
        return std::numeric_limits<double>::infinity();
    // In doubles: the bin count times the channels may exceed 2^64.
    return static_cast<double>(nbins) * double(channels) * held_bytes_per_bin() +
           static_cast<double>(nbins) * bytes_per_bin;
}

double HistoGeometry::footprint_of(uint64_t total_bins, uint64_t longest_bins) {
    return static_cast<double>(total_bins) * held_bytes_per_bin() +
           static_cast<double>(longest_bins) * bytes_per_bin;
}

double HistoGeometry::held_bytes_per_bin() {
    return histogram_sets * (bytes_per_bin + tally_bytes_per_bin) +
           plot_sample_arrays * bytes_per_bin;
}

double HistoGeometry::memory_budget(double held_bytes) {
    const double physical = physical_memory();
    // Zero-filling histograms beyond this takes the machine's memory long
    // before a plot could show them; an unknown machine gets a modest 1 GiB.
    double budget = physical > 0.0 ? physical / 4.0 * 3.0 : double(uint64_t(1) << 30);
    const double available = available_memory();
    if (available >= 0.0)
        budget = std::min(budget, std::max(0.0, held_bytes) + available);
    const double cap = memory_cap.load();
    return cap > 0.0 ? std::min(budget, cap) : budget;
}

void HistoGeometry::set_memory_cap(double bytes) {
    memory_cap.store(bytes);
}
