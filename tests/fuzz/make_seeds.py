#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora, one file per seed, and documents
the layout of their inputs. Run from anywhere; regression inputs that a
fuzzer found are kept beside the seeds under their own names."""
import os
import re
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

ANGLES = {0: 0, 90: 1, 180: 2, 270: 3, 45: 4, -90: 5}
DEPTHS = {16: 0, 24: 1, 32: 2, 8: 6}
FORMATS = {"rgb565": 0, "bgr565": 1, "rgb888": 2, "bgr888": 3, "generic": 4}


def screen(width, height, bpp=32, fmt="rgb888", angle=0, pad=0, two_pages=False,
           channels=(0, 0, 0, 0, 0, 0), large=True):
    """Two selector bytes, the size, and six channel bytes for generic."""
    a = ANGLES[angle] | DEPTHS[bpp] << 3 | (0x40 if two_pages else 0) | (0x80 if large else 0)
    b = FORMATS[fmt] | pad << 3
    out = bytes([a, b]) + struct.pack("<HH", width, height)
    if fmt == "generic":
        out += bytes(channels)
    return out


def number(value):
    """Selector 5: a raw little-endian 32-bit value."""
    return bytes([5]) + struct.pack("<i", value)


def reads(*chunks, scene=True):
    """Whether to start from the initial scene, then each read as a 16-bit
    length and its bytes; an empty read is the writer closing."""
    return bytes([1 if scene else 0]) + b"".join(struct.pack("<H", len(c)) + c for c in chunks)


def rle(screen_bytes, width, height, bpp, rowstride, x, y, stream):
    return (screen_bytes + number(width) + number(height) + number(bpp) + number(rowstride) +
            number(x) + number(y) + stream)


def text(screen_bytes, x, y, rgb, body):
    return screen_bytes + number(x) + number(y) + bytes(rgb) + body


COMMAND = {
    "progress_and_message": screen(800, 480) + reads(b"PROGRESS 50\nMSG hello\n"),
    "double_buffered_rotated": screen(1024, 768, 16, "rgb565", 90, two_pages=True) + reads(
        b"PROGRESS 10\nMSG Installing updates\nPROGRESS -50\n", b"",
        b"MSG  two spaces\nQUIT\nMSG never\n"),
    "nul_separators": screen(480, 272, 24, "bgr888", 180, pad=5, two_pages=True) + reads(
        b"MSG a\0PROGRESS 99999999999\0progress 3\n   \nQUIT\r\nPROGRESS -2147483648",
        scene=False),
    "long_line_across_reads": screen(320, 240, 32, "bgr888", 270) + reads(
        b"MSG " + b"x" * 2044, b"y" * 900 + b"\nPROGRESS 33\n", scene=False),
    "generic_layout": screen(230, 60, 16, "generic", 0, 3, True, (8, 4, 4, 4, 0, 4)) + reads(
        b"PROGRESS abc\nMSG caf\xe9\nMSG two\nlines\nPROGRESS 100\n", b"MSG", b" QUIT"),
    "tiny_screen": screen(7, 5, 32, "rgb888", 180, large=False) + reads(
        b"PROGRESS 1\nMSG wide text\n", scene=False),
    "white_start": screen(200, 100, 16, "bgr565", 270, 1, True, large=False) + reads(
        b"PROGRESS -100\n\n\nMSG x\n", b"PROGRESS 2", b"", b"MSG after reopen\n", scene=False),
}

def picture_stream(source):
    """The bytes of a built-in picture, read from its generated source."""
    with open(os.path.join(HERE, "..", "..", "assets", source)) as f:
        text = f.read()
    body = text[text.index("= {") + 3:text.index("};")]
    return bytes(int(v, 16) for v in re.findall(r"0x[0-9a-fA-F]{2}", body))


RLE = {
    "bar_frame": rle(screen(160, 160), 230, 28, 4, 920, -35, 134,
                     picture_stream("bar_frame_image.cpp")),
    "bar_frame_rotated": rle(screen(100, 150, 16, "bgr565", 90, 2), 230, 28, 4, 920, -65, 100,
                             picture_stream("bar_frame_image.cpp")),
    # The first rows of the splash picture, cut short of its end marker.
    "splash_head": rle(screen(160, 120, 24, "rgb888", 270), 800, 480, 4, 3200, -320, -60,
                       picture_stream("splash_image.cpp")[:4000]),
    "literal_then_repeat": rle(screen(160, 40), 128, 1, 4, 512, 3, 2,
                               bytes.fromhex("0100000000ffffffffff00")),
    "repeat_three": rle(screen(20, 10, 16, "rgb565"), 3, 1, 4, 12, 0, 0,
                        bytes.fromhex("83ececE1ff".lower())),
    "run_across_rows": rle(screen(60, 20, 24, "bgr888", 90, 2), 230, 28, 4, 920, -220, 3,
                           bytes.fromhex("e36d6d70ff") + bytes.fromhex("85ececE1ff".lower()) +
                           b"\x02" + bytes.fromhex("01020300ffeeddcc") + b"\x00"),
    "negative_position": rle(screen(150, 90, 32, "rgb888", 180), 800, 480, 4, 3200, -160, -40,
                             bytes.fromhex("ffffffffff" * 12 + "8a0000ff01" + "00")),
    "three_bytes_no_end": rle(screen(40, 30, 24, "generic", 270, 1,
                                     channels=(0, 8, 8, 8, 16, 8)), 10, 2, 3, 30, 1, 1,
                              b"\x7f" + bytes(range(3 * 127 % 256)) + bytes(3 * 127 - 3 * 127 % 256)),
    "huge_values": rle(screen(64, 64, 32, "bgr565", -90), 2147483647, -2147483648, 4, -4,
                       2147483600, -2147483648, bytes.fromhex("ff0a0b0c0d81ffffff01")),
}

TEXT = {
    "two_letters": text(screen(100, 30), 3, 4, (109, 109, 112), b"AB"),
    "lines": text(screen(60, 60, 16, "rgb565", 90), 5, 2, (255, 0, 0), b"AB\nE\n\nlast line"),
    "tab_and_high_byte": text(screen(80, 20, 24, "bgr888", 180, 3), -4, 5, (1, 2, 3),
                              b"A\tB \x7f~\xe9 not drawn"),
    "off_the_edges": text(screen(50, 50, 32, "generic", 270, 0, channels=(24, 8, 0, 4, 9, 7)),
                          -30, 45, (200, 100, 50), b"wide line that runs off both edges\nx"),
    "extreme_position": text(screen(40, 40), 2147483640, -2147483645, (9, 9, 9), b"Wrap?\nno"),
}


DEPTH_CODES = {8: 0, 15: 1, 16: 2, 24: 3, 32: 4, 1: 5, 12: 6, 4: 7}


def device(angle=0, xres=800, yres=480, bpp=32, channels=((16, 8), (8, 8), (0, 8), (0, 0)),
           yres_virtual=None, yoffset=0, line_length=None, smem_len=None, smem_start=0,
           mappable=True, put_double=True, keep_bitfields=False, check_memory=True,
           accepted=(16, 24, 32), refusals=(), progress=50, message=b"hello"):
    """The angle, the device's configuration, the progress value and the
    message. refusals are (request 0-4, nth 1-4, errno 0-3) or, with a fourth
    member, an answer (request, nth, None, value)."""
    flags = ((1 if yres_virtual is not None else 0) | (2 if line_length is not None else 0) |
             (0 if mappable else 4) | (8 if put_double else 0) | (16 if keep_bitfields else 0) |
             (32 if check_memory else 0) | len(refusals) << 6)
    if smem_len is None:
        smem_len = (line_length or xres * max(bpp, 32) // 8) * yres * 2 + smem_start % 4096
    out = bytes([ANGLES[angle], flags]) + struct.pack("<HH", xres, yres)
    if yres_virtual is not None:
        out += struct.pack("<H", yres_virtual)
    out += struct.pack("<H", 0) if yoffset == 0 else struct.pack("<HH", 1, yoffset)
    out += bytes([DEPTH_CODES[bpp]]) + bytes(v for pair in channels for v in pair)
    if line_length is not None:
        out += struct.pack("<I", line_length)
    out += struct.pack("<II", smem_len, smem_start)
    out += bytes([sum(1 << DEPTH_CODES[d] for d in accepted)])
    for r in refusals:
        if len(r) == 4:
            out += bytes([0x80 | r[0], r[1] - 1, r[3] & 0xFF])
        else:
            out += bytes([r[0] | r[2] << 3, r[1] - 1, 0])
    return out + number(progress) + message


RGB565 = ((11, 5), (5, 6), (0, 5), (0, 0))
BGR888 = ((0, 8), (8, 8), (16, 8), (0, 0))

FB_OPEN = {
    "healthy_double_buffered": device(),
    "already_double_front_page": device(90, 480, 272, 16, RGB565, yres_virtual=544, yoffset=272,
                                        smem_start=0x1234, progress=-30, message=b"rotated\nx"),
    "depth_change_to_32": device(0, 320, 240, 8, ((0, 3), (3, 3), (6, 2), (0, 0)),
                                 accepted=(32,), keep_bitfields=True, message=b"switched"),
    "depth_change_to_16": device(270, 320, 240, 8, accepted=(16,), progress=100),
    "no_depth_accepted": device(0, 320, 240, 4, accepted=(8,)),
    "line_shorter_than_row": device(0, 64, 48, 32, line_length=100),
    "memory_too_small": device(180, 640, 480, 16, RGB565, smem_len=640 * 2 * 479),
    "pan_refused": device(180, 300, 200, 24, BGR888, refusals=((3, 1, 0),)),
    "one_page_of_memory": device(0, 200, 150, 32, yres_virtual=300, yoffset=150,
                                 smem_len=200 * 4 * 150 + 100, message=b"single"),
    "padded_generic_with_alpha": device(45, 230, 120, 32,
                                        ((24, 8), (16, 8), (8, 8), (0, 8)), line_length=1000),
    "odd_answers": device(90, 100, 80, 16, RGB565, refusals=((4, 1, None, 5), (3, 2, 1))),
    "unmappable": device(0, 64, 64, 32, mappable=False),
}


ORIENTATIONS = {None: 0, "normal": 1, "upside_down": 2, "left_side_up": 3, "right_side_up": 4}
PLANE_FORMATS = {"XR24": 1, "AR24": 2, "RG16": 4, "RG24": 8}
DRM_REQUESTS = ["SET_MASTER", "GET_CAP", "MODE_GETRESOURCES", "MODE_GETCONNECTOR", "MODE_GETENCODER",
                "MODE_GETCRTC", "MODE_SETCRTC", "MODE_CREATE_DUMB", "MODE_MAP_DUMB", "MODE_ADDFB2",
                "MODE_PAGE_FLIP", "MODE_DIRTYFB", "MODE_GETPLANE", "MODE_OBJ_GETPROPERTIES", "mmap",
                "MODE_GETPROPERTY"]
DRM_ERRORS = ["EINVAL", "ENOMEM", "EBUSY", "EACCES"]
DIRTY = {"none": 0, "supported": 1, "required": 2}


def card(angle=None, depth16=False, dirty="none", crtcs=1,
         connectors=(("connected", None, 1, ((320, 200), (160, 100)), True),),
         planes=(("XR24",),), refusals=(), progress=40, message=b"hello"):
    """fuzz_drm_open: a choice byte (angle given or not), the card's flags,
    each connector (state, orientation, CRTC mask, modes, second mode
    preferred), each primary plane's formats, refusals (request, nth,
    errno), then a progress value and the message."""
    choice = (ANGLES[angle] | 4) if angle is not None else 0
    flags = (crtcs - 1) | (4 if depth16 else 0) | DIRTY[dirty] << 3 | (len(connectors) - 1) << 5
    out = bytes([choice, flags])
    for state, orientation, mask, modes, second_preferred in connectors:
        cf = (1 if state == "disconnected" else 0) | ORIENTATIONS[orientation] << 1
        cf |= (len(modes) - 1) << 4 | (64 if second_preferred else 0)
        out += bytes([cf, mask - 1]) + b"".join(struct.pack("<HH", w - 1, h - 1) for w, h in modes)
    for formats in planes:
        out += bytes([sum(PLANE_FORMATS[f] for f in formats)])
    out += bytes([len(refusals)])
    for request, nth, err in refusals:
        out += bytes([DRM_REQUESTS.index(request) | DRM_ERRORS.index(err) << 4, nth - 1])
    return out + number(progress) + message


DRM_OPEN = {
    "one_head": card(),
    "angle_given": card(angle=90, message=b"turned"),
    "two_heads": card(crtcs=2, connectors=(("connected", None, 1, ((320, 200), (160, 100)), True),
                                           ("connected", None, 2, ((200, 120),), False)),
                      planes=(("XR24",), ("XR24",))),
    "rgb565_preferred": card(depth16=True, planes=(("RG16", "XR24"),), dirty="required"),
    "rgb565_missing": card(depth16=True, planes=(("XR24",),)),
    "no_usable_plane": card(planes=(("AR24",),)),
    "panel_left_side_up": card(connectors=(("connected", "left_side_up", 1, ((120, 200),), False),)),
    "disconnected": card(connectors=(("disconnected", None, 1, ((320, 200),), False),)),
    "setcrtc_refused": card(refusals=(("MODE_SETCRTC", 1, "EACCES"),)),
    "second_buffer_refused": card(dirty="required", refusals=(("MODE_CREATE_DUMB", 2, "ENOMEM"),)),
    "flip_busy": card(refusals=(("MODE_PAGE_FLIP", 1, "EBUSY"),)),
    "master_refused": card(refusals=(("SET_MASTER", 1, "EBUSY"),)),
}


def write(target, seeds):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, "seed_" + name), "wb") as f:
            f.write(data)


write("glimmer_fuzz_command", COMMAND)
write("glimmer_fuzz_rle", RLE)
write("glimmer_fuzz_text", TEXT)
write("glimmer_fuzz_fb_open", FB_OPEN)
write("glimmer_fuzz_drm_open", DRM_OPEN)
