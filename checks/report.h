#pragma once
// What kestrel-check found: errors (the gateway will silently not do what
// the files say) and warnings (it works, but probably not as meant), each
// naming the file, the element or section, and the attribute or key.
#include <cstdio>
#include <string>
#include <vector>

namespace kestrel {

enum class Severity { kWarning, kError };

struct Finding {
  Severity severity;
  std::string file;
  std::string where;  // element or section, and attribute or key with its value
  std::string message;
};

struct Report {
  std::vector<Finding> findings;
};

void AddError(Report& report, const std::string& file, const std::string& where,
              const std::string& message);
void AddWarning(Report& report, const std::string& file, const std::string& where,
                const std::string& message);

// "FILE: WHERE: MESSAGE".
std::string FindingText(const Finding& finding);
// One line per finding: "error: FILE: WHERE: MESSAGE".
void PrintFindings(const Report& report, FILE* out);
// "N error(s), M warning(s)" or "no findings".
void PrintSummary(const Report& report, FILE* out);

// 0 clean, 1 with errors, 2 with warnings only.
constexpr int kExitClean = 0;
constexpr int kExitErrors = 1;
constexpr int kExitWarnings = 2;
int ExitStatus(const Report& report);

}  // namespace kestrel
