#!/usr/bin/env bash
# Checks the Grafana dashboard against a metrics file that Fenwold wrote: every query names
# only metrics in that file, filters on the instance variable and reads the data source
# variable, so a renamed or misspelt metric shows as an error here rather than as an empty
# panel at a site.
#   scripts/check-dashboard.sh DASHBOARD.json METRICS.prom
# Exit 0 when all hold; otherwise one line per fault on stderr and exit 1.
set -euo pipefail
dashboard=$1
metrics=$2
command -v jq >/dev/null || "$(dirname "$0")/apt-install.sh" jq

# The sample names the writer produced (a family's name before its labels).
written=$(sed -n 's/^\([a-zA-Z_:][a-zA-Z0-9_:]*\)[{ ].*/\1/p' "$metrics" | sort -u | jq -R . | jq -sc .)
[ "$written" != "[]" ] || { echo "$metrics holds no samples" >&2; exit 1; }

faults=$(jq -r --argjson written "$written" '
  def metric_names:
    gsub("\"([^\"\\\\]|\\\\.)*\""; "")          # label values, legends inside strings
    | gsub("\\{[^}]*\\}"; "")                    # label matchers
    | gsub("\\[[^\\]]*\\]"; "")                  # ranges and subqueries
    | gsub("\\b(by|without|on|ignoring|group_left|group_right)\\s*\\([^)]*\\)"; "")
    | gsub("\\$\\{?[A-Za-z_][A-Za-z0-9_]*\\}?"; "")
    | gsub("(?<![A-Za-z0-9_:])[0-9][0-9.]*([eE][+-]?[0-9]+)?[smhdwy]?"; "")
    | [scan("[A-Za-z_:][A-Za-z0-9_:]*(?:\\s*\\()?")
       | select(test("\\($") | not)            # functions and aggregations
       | select(IN("and", "or", "unless", "bool", "offset", "by", "without", "on",
                   "ignoring", "group_left", "group_right", "inf", "nan") | not)];
  def faults($where; $ds):
    if ($ds | tostring | test("\\$\\{?DS_PROMETHEUS\\}?") | not) then
      "\($where): data source is not ${DS_PROMETHEUS}: \($ds | tojson)" else empty end;
  (if ([.templating.list[]? | select(.name == "DS_PROMETHEUS" and .type == "datasource")]
       | length) == 0 then "no data source variable DS_PROMETHEUS" else empty end),
  (if ([.templating.list[]? | select(.name == "instance")] | length) == 0
   then "no instance variable" else empty end),
  (.templating.list[]? | select(.type == "query") | faults("variable \(.name)"; .datasource)),
  ([.. | objects | select(has("targets"))] as $panels
   | (if ($panels | length) == 0 then "no panel has a query" else empty end),
     ($panels[] | . as $p
      | faults("panel \"\($p.title)\""; $p.datasource),
        (if (($p.targets // []) | length) == 0 then "panel \"\($p.title)\" has no query" else empty end),
        ($p.targets[] | . as $t
         | faults("panel \"\($p.title)\" query \($t.refId)"; $t.datasource // $p.datasource),
           (($t.expr // "") as $e
            | if $e == "" then "panel \"\($p.title)\" query \($t.refId) is empty"
              else
                (if ($e | test("instance=~\"\\$instance\"") | not) then
                   "panel \"\($p.title)\": not filtered on $instance: \($e)" else empty end),
                ($e | metric_names | if length == 0 then
                   "panel \"\($p.title)\": names no metric: \($e)" else empty end),
                ($e | metric_names[] | select(IN($written[]) | not)
                 | "panel \"\($p.title)\": \(.) is not a metric Fenwold writes")
              end))))
' "$dashboard")
if [ -n "$faults" ]; then
  echo "$faults" >&2
  exit 1
fi
