#!/bin/sh
# Installs the Debian 12 packages the project needs to build, test and run
# its sample job. Run as root.
set -e
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
  build-essential cmake pkg-config git ca-certificates dpkg-dev man-db \
  libcups2-dev libcupsimage2-dev cups-ppdc libpappl-dev \
  libjbig-dev jbigkit-bin liblcms2-dev liblcms2-utils libpng-dev libjpeg-dev nettle-dev \
  libgtest-dev libbenchmark-dev \
  netpbm openssl python3 \
  clang libclang-rt-14-dev \
  cups cups-client cups-ipp-utils cups-filters poppler-utils ghostscript
