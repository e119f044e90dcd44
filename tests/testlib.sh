# SPDX-License-Identifier: MIT
# What the shell test scripts share. Source it, then
#   check WHAT COMMAND...   runs the command and prints the ok / not ok line
#                           for WHAT; passed and failed count the lines.
#   programs, target_of     the six programs and the file each replaces.
programs=(upload-client-cert upload-client-cert2 upload-ca-cert upload-ca-cert2 upload-priv upload-priv2)
declare -A target_of=(
    [upload-client-cert]=8021x-client-cert [upload-client-cert2]=8021x-client-cert2
    [upload-ca-cert]=8021x-ca-cert [upload-ca-cert2]=8021x-ca-cert2
    [upload-priv]=8021x-priv [upload-priv2]=8021x-priv2)
MIB=1048576

passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok - $what"
    else
        failed=$((failed + 1))
        echo "not ok - $what"
    fi
}
