#!/usr/bin/env bash
# Lays real firmware into 512 KB flash images and measures how well the loader's LZ4 frames pack
# them (bench/pack_ratio.cpp). The firmware comes from Debian packages that are downloaded and
# unpacked into the build tree, never installed; nothing of it goes into the repository.
# Usage: bash bench/firmware_corpus.sh [build dir, default build/release]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cache=$build/bench/firmware
packages=(seabios ipxe-qemu qemu-system-data sigrok-firmware-fx2lafw)

fetch() {
    mkdir -p "$cache/debs" "$cache/root"
    if ! ls "$cache"/debs/*.deb >/dev/null 2>&1; then
        # As root, apt warns that its sandbox user cannot write here; the download works anyway.
        (cd "$cache/debs" && apt-get download "${packages[@]}" 2>/dev/null) || {
            apt-get update -qq && (cd "$cache/debs" && apt-get download "${packages[@]}" 2>/dev/null)
        }
    fi
    for deb in "$cache"/debs/*.deb; do
        dpkg-deb -x "$deb" "$cache/root"
    done
}

# Writes the files given after the image name one after another, each from a 1 KB boundary as a
# linker would place sections, into a 512 KB image whose unused flash stays erased (0xFF).
lay() {
    local image=$cache/images/$1.bin size=$((512 * 1024)) at=0 file length
    shift
    : >"$image"
    for file in "$@"; do
        length=$(stat -c %s "$file")
        if ((at + length > size)); then
            echo "$image: $file does not fit" >&2
            exit 1
        fi
        cat "$file" >>"$image"
        at=$((at + length))
        erased $((-at & 1023)) >>"$image"
        at=$(((at + 1023) & ~1023))
    done
    erased $((size - at)) >>"$image"
}

erased() {
    head -c "$1" /dev/zero | tr '\0' '\377'
}

fetch
mkdir -p "$cache/images"
r=$cache/root/usr
lay pc-bios "$r"/share/seabios/bios.bin "$r"/share/seabios/vgabios-stdvga.bin \
    "$r"/share/seabios/vgabios-cirrus.bin "$r"/lib/ipxe/qemu/pxe-e1000.rom \
    "$r"/lib/ipxe/qemu/pxe-virtio.rom "$r"/share/qemu/sgabios.bin "$r"/share/qemu/kvmvapic.bin \
    "$r"/share/qemu/linuxboot.bin "$r"/share/qemu/linuxboot_dma.bin "$r"/share/qemu/multiboot.bin \
    "$r"/share/qemu/multiboot_dma.bin "$r"/share/qemu/qboot.rom
lay boot-firmware "$r"/share/qemu/opensbi-riscv64-generic-fw_dynamic.bin \
    "$r"/share/qemu/palcode-clipper "$r"/share/qemu/s390-ccw.img "$r"/share/qemu/s390-netboot.img \
    "$r"/share/qemu/QEMU,VGA.bin "$r"/share/qemu/QEMU,cgthree.bin "$r"/share/qemu/QEMU,tcx.bin \
    "$r"/share/qemu/npcm7xx_bootrom.bin "$r"/share/qemu/pvh.bin "$r"/share/qemu/vof.bin
lay fx2-hppa "$r"/share/sigrok-firmware/*.fw "$r"/share/qemu/hppa-firmware.img \
    "$r"/share/qemu/bamboo.dtb "$r"/share/qemu/canyonlands.dtb
lay efi-roms "$r"/lib/ipxe/qemu/efi-e1000.rom "$r"/lib/ipxe/qemu/efi-virtio.rom

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVARD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target halvard-pack-bench -j2 >/dev/null
"$build"/bench/halvard-pack-bench "$cache"/images/*.bin
