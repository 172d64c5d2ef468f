#!/usr/bin/env bash
# Installs what is missing, builds, and starts the launcher in a throwaway folder, so
# that the override.cfg it writes never lands in the source tree.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
scripts/build.sh plain QuillmontHelper
demo=$(mktemp -d -t quillmont-demo.XXXXXX)
echo "Demo game folder: $demo"
cd "$demo"
exec "$OLDPWD/build/plain/QuillmontHelper" "$@"
