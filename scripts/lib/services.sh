# Helpers shared by scripts/test and scripts/run: the system services the tests use.
# Source this file; each function is safe to call when the service already runs.

# The print system, with a queue "GreetwellPDF" that writes each job as a PDF file.
gw_start_cups() {
  command -v cupsd >/dev/null || { echo "cupsd not installed; printing tests will skip" >&2; return 0; }
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if ! lpstat -r 2>/dev/null | grep -q 'is running'; then
    $sudo cupsd || true
    for _ in $(seq 1 50); do lpstat -r 2>/dev/null | grep -q 'is running' && break; sleep 0.1; done
  fi
  if ! lpstat -p GreetwellPDF >/dev/null 2>&1; then
    $sudo lpadmin -p GreetwellPDF -E -v cups-pdf:/ -m lsb/usr/cups-pdf/CUPS-PDF_noopt.ppd \
      -D "Greetwell test PDF queue" || echo "could not add the PDF queue; printing tests will skip" >&2
  fi
}
