# Shared by the end-to-end suites (source it): a scenario is begun, its expectations are checked,
# and it is finished with one PASS or FAIL line (finish returns 1 on FAIL); passed and failed
# count them.
passed=0
failed=0
scenario=
problems=()

begin() {
  scenario=$1
  problems=()
}
# expect WHAT EXPECTED ACTUAL
expect() {
  [[ $2 == "$3" ]] || problems+=("expected $1 $2 got ${3:-(nothing)}")
}
finish() {
  if ((${#problems[@]} == 0)); then
    echo "PASS $scenario"
    passed=$((passed + 1))
  else
    local joined
    joined=$(printf '%s; ' "${problems[@]}")
    echo "FAIL $scenario: ${joined%; }"
    failed=$((failed + 1))
    return 1
  fi
}
