# The ok / not ok lines of the shell test scripts. Source it, then
#   check WHAT COMMAND...   runs the command and prints the line for WHAT;
# passed and failed count the lines.
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
