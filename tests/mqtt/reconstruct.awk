# SPDX-License-Identifier: MIT
# The engine speed (PGN 61444 from 0x00, 0.125 rpm a bit) of a candump capture
# against the points a decoder printed (TSV: timestamp, value, tolerance,
# step|linear, in time order): every frame's value within the tolerance of
# the reconstruction: awk -F'\t' -f reconstruct.awk POINTS.tsv CAPTURE
function hexval(s,   i, v) {
    v = 0
    for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789ABCDEF", substr(s, i, 1)) - 1
    return v
}
NR == FNR {
    split($1, d, /[T:Z]/); n++
    pt[n] = d[2] * 3600 + d[3] * 60 + d[4]; pv[n] = $2; tol = $3; lin = ($4 == "linear"); next
}
{
    split($0, f, /[()# ]/); t = f[2] + 0
    if (f[5] != "0CF00400") next
    v = hexval(substr(f[6], 9, 2) substr(f[6], 7, 2)) / 8; frames++
    while (k < n && pt[k + 1] <= t + 1e-9) k++
    if (k == 0) { bad++; next }
    r = pv[k]
    if (lin && k < n) r = pv[k] + (pv[k + 1] - pv[k]) * (t - pt[k]) / (pt[k + 1] - pt[k])
    e = r > v ? r - v : v - r
    if (e > tol + 1e-6) { bad++; if (bad < 4) print "frame at " t ": " v ", got " r > "/dev/stderr" }
}
END { printf "%d frames, %d points, %d beyond the tolerance\n", frames, n, bad; exit bad > 0 }
