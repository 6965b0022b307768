#!/bin/sh
# Installs the pinned browser driver into the given folder (a copy of
# package.json and package-lock.json lives there): npm ci, again only when the
# lock file changed since the last install. The driver never downloads a
# browser; the tests use the system Chromium.
set -e
cd "$1"
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
if [ -f node_modules/.installed-lock ] && cmp -s package-lock.json node_modules/.installed-lock; then
    exit 0
fi
npm ci --no-audit --no-fund
cp package-lock.json node_modules/.installed-lock
