"""Screenshots of an Xvfb screen started with -fbdir: reads the screen's XWD image file and
writes a PNG (optionally cropped to a window's geometry), with nothing but the standard
library."""
import struct
import subprocess
import zlib


def read_xwd(path):
    """(width, height, rows of RGB bytes) of a 24/32-bit ZPixmap XWD file."""
    with open(path, "rb") as f:
        data = f.read()
    fields = struct.unpack(">25I", data[:100])
    header_size, _version, _format, _depth, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line, ncolors = fields[7], fields[11], fields[12], fields[19]
    if bits_per_pixel != 32:
        raise ValueError(f"unsupported XWD: {bits_per_pixel} bits per pixel")
    offset = header_size + ncolors * 12
    rows = []
    for y in range(height):
        line = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * 4]
        if byte_order == 0:  # LSBFirst: B G R X
            b, g, r = line[0::4], line[1::4], line[2::4]
        else:                # MSBFirst: X R G B
            r, g, b = line[1::4], line[2::4], line[3::4]
        rgb = bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = r, g, b
        rows.append(bytes(rgb))
    return width, height, rows


def write_png(path, width, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + r for r in rows)
    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", width, len(rows), 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def window_geometry(window, env):
    """(x, y, width, height) of an X window, through xdotool."""
    out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", str(window)], env=env,
                         capture_output=True, text=True, check=True).stdout
    g = dict(line.split("=", 1) for line in out.split())
    return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])


def screenshot(fbdir, path, geometry=None):
    """Writes the screen (or the part that `geometry` names) of an Xvfb -fbdir to a PNG."""
    width, height, rows = read_xwd(f"{fbdir}/Xvfb_screen0")
    if geometry:
        x, y, w, h = geometry
        x, y = max(0, x), max(0, y)
        w, h = min(w, width - x), min(h, height - y)
        rows = [r[x * 3:(x + w) * 3] for r in rows[y:y + h]]
        width = w
    write_png(path, width, rows)
    return path
