# Sourced by the tests that run the built programs. sandbox UID LIBRARY
# [BWRAP OPTION ...] -- COMMAND ... runs COMMAND in a bubblewrap sandbox as
# UID of a user namespace, with the host folder LIBRARY as its /Library, so
# that nothing touches the host's /Library; /tmp is made by sandbox_tmp.
sandbox_tmp=(--tmpfs /tmp)
sandbox() {
  local uid=$1 library=$2
  shift 2
  bwrap --unshare-user --uid "$uid" --gid "$uid" --die-with-parent \
    --ro-bind /usr /usr --ro-bind /etc /etc --symlink usr/lib /lib \
    --symlink usr/lib64 /lib64 --symlink usr/bin /bin --symlink usr/sbin /sbin \
    --dev /dev --proc /proc "${sandbox_tmp[@]}" --bind "$library" /Library "$@"
}
