# SPDX-License-Identifier: MIT
# The address claim's cases of rig.cli, sourced by rig_cases.sh while the
# simulated truck runs on can1 at 250 kbit/s: vehcan on can0 against
# claim_peer, another node on can1, with candump on can1 as the witness of
# every frame. Uses rig_cases.sh's expect, pass, fail and $work.
#   claim_cases PEER

# NAME's Address Claimed payload as candump prints it: least significant
# byte first.
payload_of() {
    local n=$1 i b=""
    for i in 14 12 10 8 6 4 2 0; do b+=${n:$i:2}; done
    echo "$b"
}
start_dump() {
    candump -L can1 >"$work/dump" &
    dump_pid=$!
    sleep 0.3
}
stop_dump() {
    sleep 0.3
    kill "$dump_pid" 2>/dev/null
    wait "$dump_pid" 2>/dev/null
}
# The time (s) of the first frame matching the pattern after time $2 (0: any).
first_after() {
    awk -v pattern="$1" -v after="$2" \
        '{ t = substr($1, 2, length($1) - 2) + 0 } $3 ~ pattern && t > after { printf "%.6f\n", t; exit }' \
        "$work/dump"
}
stop_peer() {
    kill "$peer_pid" 2>/dev/null
    wait "$peer_pid" 2>/dev/null
}

claim_cases() {
    local peer=$1
    # Lower than every arbitrary-capable NAME, vehcan's default among them.
    local peer_name=1000000000001111
    local peer_claim
    peer_claim="18EEFFF9#$(payload_of $peer_name)"

    # ---- the peer holds 0xF9: vehcan claims 0x80 and asks from there ----
    start_dump
    "$peer" can1 $peer_name 0xF9 >"$work/peer.out" &
    peer_pid=$!
    sleep 0.5
    "$vehcan" request 65262 --to 0x00 >"$work/out" 2>&1
    local status=$?
    stop_dump
    local ours
    ours=$(sed -n 's/^claiming 0xF9 with NAME \([0-9A-F]\{16\}\)$/\1/p' "$work/out")
    expect claim.peer_holds_address "$status" 0 \
        "^address claim: 0xF9 taken by NAME $peer_name \\(lower\\): claiming 0x80$" \
        '^address 0x80 held \([0-9]+ ms\)$' \
        'engine coolant temperature \(SPN 110\): 90 °C$'
    # Every frame with 0xF9 as source is the peer's claim; none goes to 0xF9.
    local stray
    stray=$(awk '{ print $3 }' "$work/dump" | grep -E '^[0-9A-F]{6}F9#' | grep -v -x "$peer_claim")
    stray+=$(awk '{ print $3 }' "$work/dump" | grep -E '^[0-9A-F]{2}[0-9A-E][0-9A-F]F9[0-9A-F]{2}#')
    local rfac claim request
    rfac=$(first_after '^18EAFFFE#00EE00$' 0)
    claim=$(first_after "^18EEFF80#$(payload_of "$ours")\$" 0)
    request=$(first_after '^18EA0080#EEFE00$' 0)
    { cat "$work/out"; echo "---- can1"; cat "$work/dump"; } >"$work/out2"
    if [ -z "$ours" ] || [ -z "$rfac" ] || [ -z "$claim" ] || [ -z "$request" ]; then
        cp "$work/out2" "$work/out"
        fail claim.frames_from_the_claimed_address \
            "missing: request for claims '$rfac', claim of 0x80 '$claim', request from 0x80 '$request'"
    elif [ -n "$stray" ]; then
        cp "$work/out2" "$work/out"
        fail claim.frames_from_the_claimed_address "frames of 0xF9: $stray"
    else
        pass claim.frames_from_the_claimed_address
        awk -v a="$rfac" -v c="$claim" -v r="$request" 'BEGIN {
            printf "timing: request for claims -> claim %.0f ms -> first request %.0f ms (%.0f ms in all)\n",
                   (c - a) * 1000, (r - c) * 1000, (r - a) * 1000 }'
    fi

    # ---- a NAME that may not move, its address held: Cannot Claim, exit 9 ----
    local fixed=2000810000000003
    start_dump
    "$vehcan" request 65262 --to 0x00 --name $fixed >"$work/out" 2>&1
    status=$?
    stop_dump
    expect claim.cannot_claim "$status" 9 \
        "^address claim: 0xF9 taken by NAME $peer_name \\(lower\\) and no other address may be taken: Cannot Claim sent, transmitting nothing more$" \
        "^vehcan: cannot claim an address: 0xF9 is held by NAME $peer_name, which is lower, and NAME $fixed is not arbitrary address capable; Cannot Claim sent, nothing else$"
    # Besides the truck's nodes (0x00, 0xEE) and the peer: the request for
    # the claims and the Cannot Claim, nothing else.
    local sent
    sent=$(awk '{ print $3 }' "$work/dump" | grep -v -E '^[0-9A-F]{6}(00|EE)#' |
        grep -v -x "$peer_claim" | tr '\n' ' ')
    if [ "$sent" = "18EAFFFE#00EE00 18EEFFFE#$(payload_of $fixed) " ]; then
        pass claim.cannot_claim_sends_nothing_else
    else
        { echo "vehcan sent: $sent"; cat "$work/dump"; } >"$work/out"
        fail claim.cannot_claim_sends_nothing_else "other frames than the two expected"
    fi
    stop_peer

    # ---- the peer takes 0xF9 mid-run: monitor moves, answers, goes on ----
    start_dump
    "$vehcan" monitor --duration 14 --log >"$work/out" 2>&1 &
    local monitor=$!
    # The peer claims 3 s after the monitor holds 0xF9, however long the
    # monitor's bring-up took.
    local i=0
    until grep -q '^address 0xF9 held ' "$work/out" 2>/dev/null || [ $i -ge 600 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    sleep 3
    "$peer" can1 $peer_name 0xF9 0 >"$work/peer.out" &
    peer_pid=$!
    sleep 4
    cansend can1 18EAFF2A#00EE00
    sleep 0.5
    cansend can1 18EA802A#00EE00
    wait $monitor
    status=$?
    stop_dump
    stop_peer
    expect claim.moved_mid_run "$status" 0 '^address 0xF9 held ' \
        "^address claim: 0xF9 taken by NAME $peer_name \\(lower\\): claiming 0x80$" \
        '^address claim: claimed 0x80$' '^monitor ended after '
    local held_line moved_line late_line taken
    held_line=$(grep -n -m1 '^address 0xF9 held ' "$work/out" | cut -d: -f1)
    moved_line=$(grep -n -m1 '^address claim: 0xF9 taken' "$work/out" | cut -d: -f1)
    # Messages shown after the move (the peer claims about 3 s into the run).
    late_line=$(awk '$2 == 61444 && $1 + 0 >= 9 { print NR; exit }' "$work/out")
    taken=$(first_after "^$peer_claim\$" 0)
    stray=""
    if [ -n "$taken" ]; then
        stray=$(awk -v t="$taken" -v peer="$peer_claim" \
            '{ s = substr($1, 2, length($1) - 2) + 0 } s > t && $3 ~ /^[0-9A-F]{6}F9#/ && $3 != peer' \
            "$work/dump")
    fi
    if [ -z "$held_line" ] || [ -z "$moved_line" ] || [ "$held_line" -ge "$moved_line" ] ||
        [ -z "$late_line" ] || [ -z "$taken" ] || [ -n "$stray" ]; then
        { cat "$work/out"; echo "---- can1 (taken at $taken)"; echo "$stray"; } >"$work/out2"
        cp "$work/out2" "$work/out"
        fail claim.moved_and_went_on "held 0xF9 at line '$held_line', moved at '$moved_line', EEC1 after 9 s at '$late_line'"
    else
        pass claim.moved_and_went_on
    fi
    local ours_claim to_all to_us
    ours_claim="^18EEFF80#$(payload_of "$ours")\$"
    to_all=$(first_after '^18EAFF2A#00EE00$' 0)
    to_us=$(first_after '^18EA802A#00EE00$' 0)
    if [ -n "$to_all" ] && [ -n "$to_us" ] && [ -n "$(first_after "$ours_claim" "$to_all")" ] &&
        [ "$(first_after "$ours_claim" "$to_us")" != "" ]; then
        pass claim.answers_request_for_claim
    else
        cp "$work/dump" "$work/out"
        fail claim.answers_request_for_claim "no claim of 0x80 after the request to all ($to_all) and to 0x80 ($to_us)"
    fi

    # ---- --no-claim: straight from --from, no claim at all ----
    start_dump
    "$vehcan" request 65262 --to 0x00 --no-claim >"$work/out" 2>&1
    status=$?
    stop_dump
    if grep -q -E '^claiming|^address ' "$work/out"; then
        fail claim.no_claim "vehcan told of a claim"
    elif awk '{ print $3 }' "$work/dump" | grep -q -E '^18EAFFFE#|^18EEFF(F9|FE|80)#'; then
        cp "$work/dump" "$work/out"
        fail claim.no_claim "a claim or a request for claims went out"
    elif ! awk '{ print $3 }' "$work/dump" | grep -q -x '18EA00F9#EEFE00'; then
        cp "$work/dump" "$work/out"
        fail claim.no_claim "no request from 0xF9"
    else
        expect claim.no_claim "$status" 0 'engine coolant temperature \(SPN 110\): 90 °C$'
    fi
}
