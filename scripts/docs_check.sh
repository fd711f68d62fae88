#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Keeps the README and the guides true. Usage: scripts/docs_check.sh <plain-build-dir> [FILE.md...]
# (the README and every page under docs/ unless files are named)
#
# - Runs every block marked runnable, in order, file by file, with the tool of the build
#   dir first on PATH (and its Python package on PYTHONPATH), from the repository's root.
#   A block is marked by an HTML comment on the line before its fence, which a code host
#   and Doxygen both leave unseen:
#       <!-- runnable -->
#       ```sh            (bash, with -e -u -o pipefail; or ```python)
#   Each block runs in namespaces of its own: a loopback network (its fixed ports are free),
#   a PID namespace (whatever it leaves running, even a daemon that forked, ends with it)
#   and a /tmp that the blocks of one file share and nothing else sees.
# - Checks that a block marked <!-- output: COMMAND --> is exactly what COMMAND prints.
# - Checks that every relative link of the README and the guides names a file that exists
#   and, when it names a heading (#anchor), a heading of that file.
# Fails with the file and line of each block or link that is wrong.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/docs_check.sh <plain-build-dir>}
build=$(cd "$build" && pwd)
scripts/deps.sh >/dev/null

[ -x "$build/orvex" ] || { echo "docs_check: no $build/orvex (build the plain tree first)" >&2; exit 2; }
[ -d "$build/python/orvex" ] || { echo "docs_check: no Python package in $build" >&2; exit 2; }
export PATH="$build:$PATH" PYTHONPATH="$build/python"
# Not under /tmp: each block gets a /tmp of its own.
work=$(mktemp -d "$build/docs_check.XXXXXX")
trap 'rm -rf "$work"' EXIT
docs=("${@:2}")
((${#docs[@]})) || docs=(README.md $(find docs -name '*.md' | sort))

# Extracts the marked blocks into $work/blocks/NNN.{sh,py,out} with a line "file:line command"
# per block in $work/blocks/index, and checks the links.
python3 - "$work/blocks" "${docs[@]}" <<'EOF'
import os, re, sys
out, files = sys.argv[1], sys.argv[2:]
os.makedirs(out)
def slug(heading):  # the anchor a code host gives a heading
    text = re.sub(r"[`*_]|\{#[^}]*\}", "", heading).strip().lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")
def headings(path):
    ids, fence = set(), False
    for line in open(path, encoding="utf-8"):
        if line.startswith("```"): fence = not fence
        elif not fence and line.startswith("#"):
            ids.add(slug(line.lstrip("#")))
            ids.update(re.findall(r"\{#([^}]*)\}", line))
    return ids
bad, index, n = [], [], 0
for path in files:
    lines = open(path, encoding="utf-8").read().split("\n")
    fence = False
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("```"):
            fence = not fence
        elif not fence:
            for target in re.findall(r"\]\(([^)\s]+)", line):
                if re.match(r"[a-z]+:", target): continue
                name, _, anchor = target.partition("#")
                dest = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
                if not os.path.exists(dest):
                    bad.append(f"{path}:{i + 1}: link to a missing file: {target}")
                elif anchor and dest.endswith(".md") and anchor not in headings(dest):
                    bad.append(f"{path}:{i + 1}: link to a missing heading: {target}")
        m = re.match(r"<!-- (runnable|output: (.+)) -->$", line.strip())
        if m and not fence:
            start = i + 1
            kind = lines[start][3:].strip() if start < len(lines) else ""
            if not lines[start].startswith("```") or (m.group(1) == "runnable" and kind not in ("sh", "python")):
                bad.append(f"{path}:{i + 1}: a marker must stand right before a ```sh or ```python block")
                i += 1
                continue
            end = start + 1
            while end < len(lines) and not lines[end].startswith("```"): end += 1
            body = "\n".join(lines[start + 1:end]) + "\n"
            n += 1
            ext = "out" if m.group(2) else ("py" if kind == "python" else "sh")
            with open(f"{out}/{n:03}.{ext}", "w", encoding="utf-8") as f: f.write(body)
            index.append(f"{n:03}.{ext} {path}:{start + 1} {m.group(2) or ''}".rstrip())
            i = end
        i += 1
with open(f"{out}/index", "w") as f: f.write("\n".join(index) + "\n")
for b in bad: print(b, file=sys.stderr)
sys.exit(1 if bad else 0)
EOF
echo "docs_check: links resolve in ${#docs[@]} files"

# The namespaces each block runs in (see above); the block's /tmp and the repository's root
# follow as the first two arguments.
isolate=(unshare --net --pid --mount --fork --kill-child --)
[ "$(id -u)" -eq 0 ] || isolate=(unshare --user --map-root-user --net --pid --mount --fork --kill-child --)
isolate+=(bash -c 'ip link set lo up && mount --bind "$0" /tmp && cd "$1" && shift && exec "$@"')

failed=0
ran=0
while read -r block where command; do
  file=${where%%:*}
  tmp="$work/tmp-${file//\//_}"
  mkdir -p "$tmp" && chmod 1777 "$tmp"
  case $block in
    *.out)
      # Trailing blank lines aside, as a fence cannot show them.
      if ! diff -u <(printf '%s\n' "$(cat "$work/blocks/$block")") \
                   <(printf '%s\n' "$(eval "$command" 2>&1)") >"$work/diff"; then
        echo "docs_check: $where: the block is not what \`$command\` prints:" >&2
        cat "$work/diff" >&2
        failed=1
      fi
      continue ;;
    *.sh) runner=(bash -euo pipefail) ;;
    *.py) runner=("${ORVEX_PYTHON:-/usr/bin/python3}" -P) ;;
  esac
  started=$SECONDS
  if timeout -k 5 180 "${isolate[@]}" "$tmp" "$PWD" "${runner[@]}" "$work/blocks/$block" >"$work/log" 2>&1 </dev/null; then
    ran=$((ran + 1))
    echo "docs_check: $where ran ($((SECONDS - started)) s)"
  else
    status=$?
    echo "docs_check: $where: the block failed (exit status $status); its output:" >&2
    sed 's/^/    /' "$work/log" >&2
    failed=1
  fi
done <"$work/blocks/index"

if ((failed)); then
  echo "docs_check: FAILED" >&2
  exit 1
fi
echo "docs_check: $ran runnable blocks ran, every output block matches"
