# Demo tour, kvinet util: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# The text utilities.
step util base64 'user:secret'
step util utf8-decode C3A9E282ACF09F9880
step util html-decode '&lt;b&gt;bold&lt;/b&gt; &copy; 2026'
step util content-type report.pdf
step util column 'a,b,,d' 3 ,
