# The system services the tests use (scripts/lib/test-services starts them for
# scripts/test). Source this file; each function is safe to call when the service
# already runs.

# The print system, with a queue "GreetwellPDF" that writes each job as a PDF file.
# cups-pdf normally writes into the job owner's ~/PDF (root's home when the tests run as
# root); the queue gets its own cups-pdf instance (device cups-pdf:/greetwell, settings in
# /etc/cups/cups-pdf-greetwell.conf) that writes to /var/spool/cups-pdf/greetwell/USER,
# named after the job title, readable by everyone. The tests read GREETWELL_PDF_QUEUE and
# GREETWELL_PDF_DIR (the folder without the user name).
gw_start_cups() {
  command -v cupsd >/dev/null || { echo "cupsd not installed; printing tests will skip" >&2; return 0; }
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  local out=/var/spool/cups-pdf/greetwell
  printf '%s\n' "Out $out/\${USER}" "Label 0" "UserUMask 0022" \
    | $sudo tee /etc/cups/cups-pdf-greetwell.conf >/dev/null \
    || echo "could not write /etc/cups/cups-pdf-greetwell.conf; printing tests may skip" >&2
  if ! lpstat -r 2>/dev/null | grep -q 'is running'; then
    $sudo cupsd || true
    for _ in $(seq 1 50); do lpstat -r 2>/dev/null | grep -q 'is running' && break; sleep 0.1; done
  fi
  if ! lpstat -v GreetwellPDF 2>/dev/null | grep -q 'cups-pdf:/greetwell$'; then
    # Only -p (never -d): the host's default printer stays what it was.
    $sudo lpadmin -p GreetwellPDF -E -v cups-pdf:/greetwell -m lsb/usr/cups-pdf/CUPS-PDF_noopt.ppd \
      -D "Greetwell test PDF queue" 2>/dev/null \
      || echo "could not add the PDF queue; printing tests will skip" >&2
  fi
  export GREETWELL_PDF_QUEUE=GreetwellPDF GREETWELL_PDF_DIR=$out
}
