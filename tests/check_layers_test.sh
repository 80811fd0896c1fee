#!/usr/bin/env bash
# Runs scripts/check-layers on small trees: one with only allowed includes must pass, and each include
# that crosses a layer must fail it on its own.
set -uo pipefail
check="$(cd "$(dirname "$0")/.." && pwd)/scripts/check-layers"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# tree FOLDER FILE INCLUDE...: a fresh tree at FOLDER with FILE holding the given include lines.
tree() {
  local folder=$1 file=$2
  shift 2
  rm -rf "$folder"
  mkdir -p "$folder/$(dirname "$file")"
  printf '%s\n' "$@" >"$folder/$file"
}

failed=0
passed=0

tree "$work/allowed" core/install/x.cpp '#include "core/foundation/y.h"' '#include "platform/file_io.h"' '#include <vector>'
mkdir -p "$work/allowed/app" "$work/allowed/ui" "$work/allowed/platform/linux" "$work/allowed/tools/maker"
printf '%s\n' '#include "core/install/x.h"' '#include <QObject>' >"$work/allowed/app/a.cpp"
printf '%s\n' '#include "app/model/hub_model.h"' '#include <QtQuick/QQuickView>' >"$work/allowed/ui/w.cpp"
printf '%s\n' '#include <unistd.h>' '#include <sys/stat.h>' '#include "platform/file_io.h"' >"$work/allowed/platform/linux/f.cpp"
printf '%s\n' '#include "platform/openssl_handles.h"' >"$work/allowed/tools/maker/k.cpp"
printf '%s\n' 'const auto name = std::filesystem::path("a/b").filename();' '// std::filesystem::remove_all is not used' >"$work/allowed/core/install/paths.cpp"
if "$check" "$work/allowed" >"$work/out" 2>&1; then
  passed=$((passed + 1))
else
  echo "FAIL: a tree with allowed includes was refused:"; cat "$work/out"; failed=$((failed + 1))
fi

# file | include that must be refused
while IFS='|' read -r file include; do
  tree "$work/bad" "$file" "$include"
  if "$check" "$work/bad" >"$work/out" 2>&1; then
    echo "FAIL: $file with $include passed the check"; failed=$((failed + 1))
  elif ! grep -qF "$file" "$work/out"; then
    echo "FAIL: $file with $include was refused without naming the file:"; cat "$work/out"; failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
done <<'EOF'
core/install/x.cpp|#include "app/background_agent.h"
core/install/x.cpp|#include "ui/hub_window.h"
core/install/x.cpp|#include "platform/linux/process_list.cpp"
core/install/x.h|#include <QString>
core/library/x.cpp|#include <QtCore/QObject>
core/install/x.cpp|#include <unistd.h>
core/install/x.cpp|  #  include <sys/stat.h>
core/install/x.cpp|    std::filesystem::remove_all(path, ignored);
core/library/x.cpp|    for (const auto& entry : fs::directory_iterator(folder)) {
platform/file_io.h|#include "core/foundation/halvex_error.h"
platform/linux/x.cpp|#include "app/process_mode.h"
platform/linux/x.cpp|#include "ui/window_setup.h"
app/x.cpp|#include "ui/hub_window.h"
app/model/x.cpp|#include "platform/linux/openssl_handles.h"
ui/x.cpp|#include "platform/linux/process_list.h"
tools/maker/x.cpp|#include "platform/linux/openssl_handles.h"
EOF

echo "$passed passed, $failed failed"
((failed == 0))
