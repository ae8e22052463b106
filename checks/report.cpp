#include "checks/report.h"

namespace kestrel {
namespace {

void Add(Report& report, Severity severity, const std::string& file, const std::string& where,
         const std::string& message) {
  report.findings.push_back(Finding{severity, file, where, message});
}

int Count(const Report& report, Severity severity) {
  int count = 0;
  for (const Finding& finding : report.findings) count += finding.severity == severity ? 1 : 0;
  return count;
}

}  // namespace

void AddError(Report& report, const std::string& file, const std::string& where,
              const std::string& message) {
  Add(report, Severity::kError, file, where, message);
}

void AddWarning(Report& report, const std::string& file, const std::string& where,
                const std::string& message) {
  Add(report, Severity::kWarning, file, where, message);
}

std::string FindingText(const Finding& finding) {
  return finding.file + ": " + finding.where + ": " + finding.message;
}

void PrintFindings(const Report& report, FILE* out) {
  for (const Finding& finding : report.findings) {
    std::fprintf(out, "%s: %s\n", finding.severity == Severity::kError ? "error" : "warning",
                 FindingText(finding).c_str());
  }
}

void PrintSummary(const Report& report, FILE* out) {
  const int errors = Count(report, Severity::kError);
  const int warnings = Count(report, Severity::kWarning);
  if (errors == 0 && warnings == 0) {
    std::fprintf(out, "no findings\n");
    return;
  }
  std::fprintf(out, "%d error(s), %d warning(s)\n", errors, warnings);
}

int ExitStatus(const Report& report) {
  if (Count(report, Severity::kError) > 0) return kExitErrors;
  if (Count(report, Severity::kWarning) > 0) return kExitWarnings;
  return kExitClean;
}

}  // namespace kestrel
