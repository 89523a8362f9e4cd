#!/usr/bin/env bash
# Fails when a source file includes a project header from a folder above its
# own. The module's folders form a stack, each including only itself and what
# lies below it:
#
#   extension/  entry points, start-up and shut-down, the module's objects
#   request/    dispatch, value commands, cookies, counters, STAT report
#   config/     settings and their file
#   persist/    the journal, the snapshot and their loading
#   store/      values, collections, memory budget, collectors, locks
#   base/       the control-block interface and small text helpers
#
# server/ is a separate program on top; it may include base/, config/ (the
# settings check reads the file with the module's own loader) and itself.
# Inside it the host's folders form a stack of their own, each including
# only itself, the folders below it, and the two headers at server/'s root
# that everything reads and that include nothing of the host (limits.h,
# options.h); the files at the root (main, server) may include any of them:
#
#   admin/  the operators' port and the metrics page
#   io/     event loops, listener, connections, fibers, the module call
#   tls/    TLS contexts and their reload, ticket keys, sessions, counters
#   ops/    access log, service notices, settings check, module loading
#   http/   the socket-free HTTP: intake, heads, decoding, errors
#
#   check_includes.sh SOURCE_ROOT
set -euo pipefail
root="${1:?usage: check_includes.sh SOURCE_ROOT}"

stack=(base store persist config request extension)
# Project folders; other quoted includes (third-party headers) are not ours.
project=" ${stack[*]} server tests fuzz bench "

# The folders `folder` may include from.
allowed() {
  if [[ "$1" == server ]]; then
    echo "base config server"
    return
  fi
  local result=""
  for layer in "${stack[@]}"; do
    result+="$layer "
    if [[ "$layer" == "$1" ]]; then
      echo "$result"
      return
    fi
  done
}

status=0
for folder in "${stack[@]}" server; do
  permitted=" $(allowed "$folder") "
  while IFS= read -r line; do
    file="${line%%:*}"
    target="${line#*\"}"
    target="${target%%\"*}"
    target_folder="${target%%/*}"
    if [[ "$project" == *" $target_folder "* && \
           "$permitted" != *" $target_folder "* ]]; then
      echo "layering: ${file#"$root"/} includes $target" >&2
      status=1
    fi
  done < <(grep -rHE '^#include "[^"]+/' --include='*.h' --include='*.cc' \
             "$root/$folder" || true)
done

host_stack=(http ops tls io admin)
host_root_leaves=" server/limits.h server/options.h "
for sub in "${host_stack[@]}"; do
  permitted=" "
  for layer in "${host_stack[@]}"; do
    permitted+="$layer "
    [[ "$layer" == "$sub" ]] && break
  done
  while IFS= read -r line; do
    file="${line%%:*}"
    target="${line#*\"}"
    target="${target%%\"*}"
    rest="${target#server/}"
    if [[ "$rest" == */* ]]; then
      [[ "$permitted" == *" ${rest%%/*} "* ]] && continue
    elif [[ "$host_root_leaves" == *" $target "* ]]; then
      continue
    fi
    echo "layering: ${file#"$root"/} includes $target" >&2
    status=1
  done < <(grep -rHE '^#include "server/' --include='*.h' --include='*.cc' \
             "$root/server/$sub" || true)
done
if [[ $status -eq 0 ]]; then echo "includes follow the stack"; fi
exit $status
