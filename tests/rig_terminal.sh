# SPDX-License-Identifier: MIT
# A terminal for the guest-side cases (sourced): tmux on a socket of its
# own. tmux's socket cannot live on the host's file system (9p), so /dev/shm
# is a tmpfs of the guest's; /dev/pts gives its panes their terminals.
mkdir -p /dev/shm /dev/pts
mountpoint -q /dev/shm || mount -t tmpfs none /dev/shm
mountpoint -q /dev/pts || mount -t devpts devpts /dev/pts
rig_tmux_socket=/dev/shm/vehcan-rig.sock
screen() { tmux -S "$rig_tmux_socket" "$@"; }
