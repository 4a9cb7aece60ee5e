#include "bench/report.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "bench/util.h"

namespace bench {

double Row::figure() const { return median(values); }
double Row::base() const { return median(baseline_values); }

double Row::ratio() const {
    const double b = base();
    return baseline.empty() || b <= 0 ? 0 : figure() / b;
}

std::string Row::verdict() const {
    const double r = ratio();
    if (target <= 0 || r <= 0 || values.empty()) return "";
    return (lower_is_better ? r <= target : r >= target) ? "met" : "short";
}

void Report::setting(const std::string& key, const std::string& value) {
    settings_.emplace_back(key, value);
}

namespace {

// Figures with three significant digits at most, so columns stay narrow.
std::string number(double v) {
    char text[32];
    if (v == 0) return "-";
    if (std::fabs(v) >= 100) {
        snprintf(text, sizeof text, "%.0f", v);
    } else if (std::fabs(v) >= 10) {
        snprintf(text, sizeof text, "%.1f", v);
    } else {
        snprintf(text, sizeof text, "%.2f", v);
    }
    return text;
}

std::string ratio_text(const Row& row) {
    const double r = row.ratio();
    if (r <= 0) return "-";
    char text[32];
    snprintf(text, sizeof text, row.lower_is_better ? "%.2fx" : "%.0f%%",
             row.lower_is_better ? r : r * 100);
    return text;
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
    return out + "\"";
}

std::string json_numbers(const std::vector<double>& values) {
    std::ostringstream out;
    out.precision(6);
    out << '[';
    for (size_t i = 0; i < values.size(); ++i) out << (i ? "," : "") << values[i];
    return out.str() + "]";
}

std::string json_row(const Row& r) {
    std::ostringstream out;
    out.precision(6);
    out << "{\"scenario\":" << json_string(r.scenario) << ",\"measure\":" << json_string(r.measure)
        << ",\"unit\":" << json_string(r.unit)
        << ",\"lower_is_better\":" << (r.lower_is_better ? "true" : "false")
        << ",\"values\":" << json_numbers(r.values) << ",\"median\":" << r.figure()
        << ",\"baseline\":" << json_string(r.baseline)
        << ",\"baseline_values\":" << json_numbers(r.baseline_values)
        << ",\"baseline_median\":" << r.base() << ",\"ratio\":" << r.ratio()
        << ",\"target\":" << json_string(r.target_text)
        << ",\"verdict\":" << json_string(r.verdict()) << "}";
    return out.str();
}

}  // namespace

void Report::print() const {
    printf("\n%-2s %-44s %10s %-9s  %-34s %10s %7s  %-9s %s\n", "#", "measure", "median", "unit",
           "baseline (same run)", "median", "ratio", "target", "");
    std::string last;
    for (const Row& r : rows_) {
        if (r.scenario != last && !last.empty()) printf("\n");
        last = r.scenario;
        printf("%-2s %-44s %10s %-9s  %-34s %10s %7s  %-9s %s\n", r.scenario.c_str(),
               r.measure.c_str(), number(r.figure()).c_str(), r.unit.c_str(),
               r.baseline.empty() ? "-" : r.baseline.c_str(),
               r.baseline.empty() ? "-" : number(r.base()).c_str(), ratio_text(r).c_str(),
               r.target_text.c_str(), r.verdict().c_str());
    }
    printf("\n");
    for (const std::string& n : notes_) printf("note: %s\n", n.c_str());
}

bool Report::write_json(const std::string& path) const {
    std::ofstream out(path);
    out << "{\"settings\":{";
    for (size_t i = 0; i < settings_.size(); ++i) {
        out << (i ? "," : "") << json_string(settings_[i].first) << ':'
            << json_string(settings_[i].second);
    }
    out << "},\n\"rows\":[\n";
    for (size_t i = 0; i < rows_.size(); ++i) out << (i ? ",\n" : "") << json_row(rows_[i]);
    out << "\n],\n\"notes\":[";
    for (size_t i = 0; i < notes_.size(); ++i) out << (i ? "," : "") << json_string(notes_[i]);
    out << "]}\n";
    return static_cast<bool>(out);
}

}  // namespace bench
