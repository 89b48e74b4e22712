# Sourced by the scripts in this folder: installs the Debian packages a step
# needs when they are missing (as root with apt-get, or through sudo), or says
# which ones are missing and stops.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]} == 0)) && return 0
  echo "Installing: ${missing[*]}" >&2
  local run=()
  if [ "$(id -u)" != 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      run=(sudo)
    else
      echo "Missing Debian packages: ${missing[*]}" >&2
      echo "Install them as root: apt-get install ${missing[*]}" >&2
      exit 2
    fi
  fi
  "${run[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  # Package scripts may try to start services (dovecot); a machine without an
  # init system refuses, which is harmless: the tests start their own servers.
  "${run[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

BUILD_PACKAGES=(ca-certificates g++ cmake ninja-build pkg-config libssl-dev libsecret-1-dev nlohmann-json3-dev
  libcurl4-openssl-dev)
# The desktop program (corvel-desktop); the console program builds without it.
DESKTOP_PACKAGES=(qt6-base-dev fonts-dejavu-core)
# The desktop tests: an X server, a tray, a user's clicks, screenshots, and a
# private session bus for the StatusNotifier tray; the real panels
# (xfce4-panel with xfwm4 on X11, waybar in a headless sway on Wayland, with
# Qt's Wayland platform), dunst as the notification server, gdbus to talk to
# them, grim for Wayland screenshots.
# locales: the sources localedef makes a single-byte locale from for the
# terminal-text tests.
TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev openssl netbase locales dovecot-pop3d dovecot-imapd
  "${DESKTOP_PACKAGES[@]}" xvfb trayer xdotool imagemagick dbus-daemon gnome-keyring
  xfce4-panel xfwm4 sway waybar qt6-wayland dunst grim libglib2.0-bin x11-utils)
# The Debian packages: making them, checking them, and trying the desktop
# program they install under Xvfb.
PACKAGE_PACKAGES=(dpkg-dev file lintian appstream man-db xvfb xdotool imagemagick dbus-daemon
  libglib2.0-bin)
# clang with libFuzzer and the sanitizer run-times, and llvm-symbolizer for readable reports.
FUZZ_PACKAGES=(clang libclang-rt-dev llvm)

# The Windows cross-build and Wine, which runs the 32-bit test programs (its
# 32-bit loader comes from the i386 architecture, added when missing).
WINDOWS_PACKAGES=(g++-mingw-w64-i686-posix googletest wine wine32:i386)
# The Windows desktop test: the program's icons are made with ImageMagick;
# Wine's own fonts (the window buttons' symbols) and a Japanese font draw
# the window under Xvfb.
WINDOWS_DESKTOP_PACKAGES=(imagemagick xvfb xdotool fonts-wine fonts-vlgothic)

# The Windows installer (makensis), and what its test reads the files with.
WINDOWS_INSTALLER_PACKAGES=(nsis binutils unzip)

ensure_windows_packages() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    local run=()
    [ "$(id -u)" != 0 ] && run=(sudo)
    "${run[@]}" dpkg --add-architecture i386
  fi
  ensure_packages "$@"
}
