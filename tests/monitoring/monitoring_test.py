#!/usr/bin/env python3
# The monitoring files shipped in monitoring/: promtool accepts the alerting
# rules and passes their unit tests (kestrel.rules.test.yml beside this
# file); the Grafana dashboard takes its Prometheus from its data source
# variable in every panel and query, and promtool accepts its queries; and
# every metric either names (node_exporter's node_* aside) is one the
# gateway was seen to write: a sample that some exchange's `metrics` step
# found in the file the real gateway wrote.
#
#   monitoring_test.py SOURCE_DIR      exit 0 passed, 1 failed, 77 skipped
import glob, json, os, re, shutil, subprocess, sys, tempfile

source = sys.argv[1]
sys.path.insert(0, os.path.join(source, "tests", "exchange"))
import runner  # noqa: E402  (its reading of exchange files)

RULES = os.path.join(source, "monitoring", "kestrel.rules.yml")
RULE_TESTS = os.path.join(source, "tests", "monitoring", "kestrel.rules.test.yml")
DASHBOARD = os.path.join(source, "monitoring", "kestrel-dashboard.json")
# What in a PromQL expression is no metric: strings, label matchers, ranges,
# the label lists of by (...) and the like, and the operators' words.
HIDDEN = [r'"(?:\\.|[^"\\])*"', r"\{[^}]*\}", r"\[[^\]]*\]",
          r"\b(?:by|without|on|ignoring|group_left|group_right)\s*\([^)]*\)"]
WORDS = {"and", "or", "unless", "bool", "offset"}
failures = []


def metrics_of(expr):  # the metric names an expression selects (function names are followed by "(")
    for hidden in HIDDEN: expr = re.sub(hidden, " ", expr)
    return set(re.findall(r"(?<![\w:.$])([a-zA-Z_:][\w:]*)(?![\w:]*\s*\()", expr)) - WORDS


def written():  # the metric names of the samples the exchanges found in the gateway's metrics files
    names = set()
    for path in glob.glob(os.path.join(source, "tests", "exchanges", "**", "*.exchange"), recursive=True):
        for step in runner.read_script(path):
            if step.verb == "metrics":
                names |= {m.group(1) for m in map(re.compile(r"([a-zA-Z_:][\w:]*)[{ ]").match, step.block) if m}
    return names


def check_expr(where, expr, known):  # it names metrics, and only ones the gateway was seen to write
    names = metrics_of(expr)
    if not names: failures.append("%s names no metric: %r" % (where, expr))
    failures.extend("%s names %s, which no exchange saw the gateway write" % (where, name)
                    for name in sorted(names) if not name.startswith("node_") and name not in known)


def panels_of(panels):  # rows may hold their panels
    return [q for p in panels for q in [p] + panels_of(p.get("panels", []))]


def check_dashboard(known):  # the queries of the dashboard's panels
    board = json.load(open(DASHBOARD))
    if board.get("schemaVersion", 0) < 36: failures.append("the dashboard's schemaVersion is below 36")
    variables = board["templating"]["list"]
    sources = [v["name"] for v in variables if v["type"] == "datasource" and v["query"] == "prometheus"]
    if len(sources) != 1:
        failures.append("the dashboard has %d Prometheus data source variables" % len(sources))
        return []
    uses = {"type": "prometheus", "uid": "${%s}" % sources[0]}
    for v in (v for v in variables if v["type"] == "query"):
        query = v["query"].get("query", "") if isinstance(v["query"], dict) else v["query"]
        query = re.fullmatch(r"label_values\((.*),\s*\w+\)", query)
        if v.get("datasource") != uses or not query:
            failures.append("the variable %s is no label_values() query of the data source variable" % v["name"])
        check_expr("the variable " + v["name"], query.group(1) if query else "", known)
    exprs, panels = [], [p for p in panels_of(board["panels"]) if p["type"] != "row"]
    if len({p["id"] for p in panels}) != len(panels): failures.append("panel ids repeat")
    for p in panels:
        targets = p.get("targets", [])
        if not targets or any(d.get("datasource") != uses for d in [p] + targets):
            failures.append("the panel %r has no query, or one not of the data source variable" % p["title"])
        for t in targets:
            exprs.append(t.get("expr", ""))
            check_expr("the panel %r" % p["title"], exprs[-1], known)
    return exprs


def promtool(*args):
    done = subprocess.run(["promtool", *args], capture_output=True, text=True)
    if done.returncode != 0: failures.append("promtool %s:\n%s%s" % (" ".join(args), done.stdout, done.stderr))
    return done.stdout


def main():
    known = written()
    exprs = re.findall(r"^\s*expr:\s*(.*?)\s*$", open(RULES).read(), re.M)
    for expr in exprs: check_expr("a rule (its expr on one line)", expr, known)
    queried = check_dashboard(known)
    if not shutil.which("promtool"):
        print("\n".join(failures) or "skipped: promtool is not installed (Debian: prometheus)")
        return 1 if failures else 77
    counted = re.search(r"(\d+) rules found", promtool("check", "rules", RULES))
    if counted and int(counted.group(1)) != len(exprs):
        failures.append("promtool found %s rules, this test %d expressions" % (counted.group(1), len(exprs)))
    promtool("test", "rules", RULE_TESTS)
    with tempfile.NamedTemporaryFile("w", suffix=".yml") as queries:  # the panels' queries as recording rules
        queries.write("groups:\n- name: dashboard\n  rules:\n")
        queries.writelines("  - {record: panel:query:%d, expr: %s}\n" % (i, json.dumps(e)) for i, e in enumerate(queried))
        queries.flush()
        promtool("check", "rules", queries.name)
    print("\n".join(failures) or "%d rules and %d dashboard queries checked" % (len(exprs), len(queried)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
