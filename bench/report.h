// The results: one row per figure, with its baseline from the same run, the ratio of
// the medians and the target it is reported against (never asserted). Printed as a
// text table and written as JSON.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct Row {
    std::string scenario;  // "1", "2", ...
    std::string measure;   // what the figure is
    std::string unit;      // of the figure and its baseline
    bool lower_is_better = false;
    std::vector<double> values;  // one per repetition
    std::string baseline;        // what the baseline is; empty: none
    std::vector<double> baseline_values;
    double target = 0;        // ratio to reach; 0: no target
    std::string target_text;  // "<= 1.5x", ">= 80%"

    double figure() const;
    double base() const;
    double ratio() const;  // figure / base; 0 without a baseline
    // "met", "short" or "" (no target or no figure).
    std::string verdict() const;
};

class Report {
public:
    void add(Row row) { rows_.push_back(std::move(row)); }
    void note(const std::string& text) { notes_.push_back(text); }
    void setting(const std::string& key, const std::string& value);
    // The table on standard output.
    void print() const;
    // Every value, median, ratio and setting as JSON; false when it cannot be written.
    bool write_json(const std::string& path) const;

private:
    std::vector<Row> rows_;
    std::vector<std::string> notes_;
    std::vector<std::pair<std::string, std::string>> settings_;
};

}  // namespace bench
