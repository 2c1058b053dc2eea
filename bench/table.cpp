#include "table.h"

#include <algorithm>
#include <cstdio>

namespace {

// Three significant figures at most, without an exponent for the sizes that occur here.
std::string format(double value) {
    char text[32];
    if (value >= 1000) {
        snprintf(text, sizeof text, "%.0f", value);
    } else if (value >= 100) {
        snprintf(text, sizeof text, "%.1f", value);
    } else {
        snprintf(text, sizeof text, "%.2f", value);
    }
    return text;
}

}  // namespace

void Table::print() const {
    size_t width = 11;
    size_t against = 9;
    for (const Row& row : rows_) {
        width = std::max(width, row.measurement.size());
        against = std::max(against, row.reference.size());
    }
    auto line = [&](const std::string& measurement, const std::string& reference,
                    const std::string& unit, const std::string& ours, const std::string& theirs,
                    const std::string& ratio) {
        printf("| %-*s | %-*s | %-8s | %10s | %10s | %8s |\n", static_cast<int>(width),
               measurement.c_str(), static_cast<int>(against), reference.c_str(), unit.c_str(),
               ours.c_str(), theirs.c_str(), ratio.c_str());
    };
    line("measurement", "reference", "unit", "ours", "reference", "ratio");
    printf("|%s|%s|----------|-----------:|-----------:|---------:|\n",
           std::string(width + 2, '-').c_str(), std::string(against + 2, '-').c_str());
    for (const Row& row : rows_) {
        std::string ratio = row.theirs > 0 ? format(row.ours / row.theirs) : "-";
        line(row.measurement, row.reference, row.unit, format(row.ours), format(row.theirs), ratio);
    }
}

double quantile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) {
        return 0;
    }
    size_t index = static_cast<size_t>(q * static_cast<double>(sorted.size()));
    return sorted[std::min(index, sorted.size() - 1)];
}
