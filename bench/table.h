// The one table that cabinetbench prints: each row one measurement of this project's code next
// to a reference doing the same work, measured in the same run.
#pragma once

#include <string>
#include <vector>

struct Row {
    std::string measurement;  // what was measured, e.g. "BSON build: station event"
    std::string reference;    // what the project's code is compared with, e.g. "libbson"
    std::string unit;         // "ns", "us", "ms" or "events/s"
    double ours;
    double theirs;
};

// Collects rows from every part of the run, in the order given.
class Table {
  public:
    void add(Row row) { rows_.push_back(std::move(row)); }
    const std::vector<Row>& rows() const { return rows_; }
    // Prints the rows as a Markdown table with the ratio ours / reference.
    void print() const;

  private:
    std::vector<Row> rows_;
};

// The value at quantile q (0 to 1) of sorted values; 0 when there are none.
double quantile(const std::vector<double>& sorted, double q);
