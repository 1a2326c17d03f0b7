#!/bin/sh
# Renders a Teams card file the way a chat host shows it: the Adaptive Cards
# reference renderer with markdown-it, in headless Chromium.
#
#   render_card.sh install DIR          installs the npm packages into DIR
#                                       (skipped when npm is missing)
#   render_card.sh render DIR CARD      prints the rendered card's text
#
# render exits 77 with a reason on standard output when Chromium or the
# packages in DIR are missing, 1 when the card cannot be rendered.
set -u

# Bound of one Chromium run (it takes one to three seconds).
RENDER_TIMEOUT_SECONDS=20
PACKAGES="adaptivecards@3.0.6 markdown-it@14"

here=$(cd "$(dirname "$0")" && pwd)
command=${1:-}
dir=${2:-}
[ -n "$dir" ] || { echo "usage: $0 install|render DIR [CARD]" >&2; exit 2; }

case "$command" in
  install)
    if ! command -v npm >/dev/null 2>&1; then
      echo "npm not found: card rendering test will be skipped"
      exit 0
    fi
    mkdir -p "$dir" || exit 1
    # shellcheck disable=SC2086
    (cd "$dir" && npm install --no-audit --no-fund --no-save $PACKAGES)
    ;;
  render)
    card=${3:-}
    [ -f "$card" ] || { echo "no card file '$card'"; exit 1; }
    browser=
    for name in chromium chromium-browser google-chrome; do
      if command -v "$name" >/dev/null 2>&1; then browser=$name; break; fi
    done
    [ -n "$browser" ] || { echo "Chromium not found"; exit 77; }
    for file in markdown-it/dist/markdown-it.min.js adaptivecards/dist/adaptivecards.min.js; do
      [ -f "$dir/node_modules/$file" ] || {
        echo "$dir/node_modules/$file missing (run: $0 install $dir)"
        exit 77
      }
    done
    command -v node >/dev/null 2>&1 || { echo "node not found"; exit 77; }
    page=$(mktemp -d "$dir/page.XXXXXX") || exit 1
    page=$(cd "$page" && pwd) || exit 1
    trap 'rm -rf "$page"' EXIT
    cp "$here/card_page.html" "$page/page.html" && cp "$card" "$page/card.json" || exit 1
    timeout "$RENDER_TIMEOUT_SECONDS" "$browser" --headless --no-sandbox --disable-gpu \
      --disable-quic --no-first-run --disable-background-networking \
      --disable-component-update --disable-sync --user-data-dir="$page/profile" \
      --allow-file-access-from-files --dump-dom "file://$page/page.html" \
      >"$page/dom.html" 2>/dev/null
    encoded=$(sed -n 's/.*<pre id="lw-out">\([^<]*\)<\/pre>.*/\1/p' "$page/dom.html")
    [ -n "$encoded" ] || { echo "Chromium gave no rendered card"; exit 1; }
    text=$(printf '%s' "$encoded" |
      node -e 'process.stdout.write(decodeURIComponent(require("fs").readFileSync(0, "utf8")))')
    printf '%s\n' "$text"
    case "$text" in ERROR:*) exit 1 ;; esac
    ;;
  *)
    echo "usage: $0 install|render DIR [CARD]" >&2
    exit 2
    ;;
esac
