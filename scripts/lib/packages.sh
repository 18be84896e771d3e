# Sourced by the scripts: the Debian packages that building, testing and packaging need, and
# a function that installs those of them that are missing.

# Building: the compiler and the libraries (qt6-serialport-dev for serial lines, qt6-serialbus-dev
# for the simulator and the tests,
# libqt6opengl6-dev because Debian 12's qt6-charts-dev needs it without depending on it, the
# MQTT client library through pkg-config) and the window's fonts. Packaging and checking the
# package: dpkg-dev (with dpkg-buildflags), file, lintian, desktop-file-utils, man-db, systemd.
# The MQTT tests: a mosquitto broker, its clients, openssl; the serial line tests: socat.
BUILD_PACKAGES=(cmake make g++ pkg-config qt6-base-dev qt6-serialport-dev qt6-serialbus-dev
  qt6-charts-dev libqt6opengl6-dev libmosquitto-dev fonts-liberation2 fonts-dejavu-core dpkg-dev
  file lintian desktop-file-utils man-db systemd mosquitto mosquitto-clients openssl socat)

install_missing() {
  local missing=() p sudo=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "Installing: ${missing[*]}"
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
