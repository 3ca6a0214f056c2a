# Sourced by the bench scripts: the build folder, a check that what a script runs was built,
# and a scratch folder that a host with dropped ids can still enter.
build=${BUILD:-build/bench}

# need SCRIPT FILE...: exits 2, naming the first FILE that is missing.
need() {
  local script=$1 f
  shift
  for f in "$@"; do
    [ -e "$f" ] || {
      echo "$script: no $f (cmake --preset bench && cmake --build --preset bench)" >&2
      exit 2
    }
  done
}

# scratch NAME: prints the path of a new folder under /tmp; the caller's trap removes it.
scratch() {
  local dir
  dir=$(mktemp -d "/tmp/$1.XXXXXX")
  chmod 755 "$dir"
  echo "$dir"
}
