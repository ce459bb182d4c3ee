// Control of the emulated framebuffer devices: configuration, state, log,
// memory, decoding and PNG output.
#include "../common/whole_file.h"
#include "fbemu.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

FbemuConfig &FbemuConfig::refuse(int request, int err)
{
    refusals.push_back({request, 0, err, -1});
    return *this;
}

FbemuConfig &FbemuConfig::refuse_nth(int request, uint32_t nth, int err)
{
    refusals.push_back({request, nth, err, -1});
    return *this;
}

FbemuConfig &FbemuConfig::answer(int request, int result)
{
    refusals.push_back({request, 0, 0, result});
    return *this;
}

std::string glimmer_fbemu_config_text(const FbemuConfig &c)
{
    std::ostringstream out;
    out << "xres " << c.xres << "\nyres " << c.yres << "\n";
    out << "bits_per_pixel " << c.bits_per_pixel << "\n";
    out << "red " << c.red.offset << " " << c.red.length << "\n";
    out << "green " << c.green.offset << " " << c.green.length << "\n";
    out << "blue " << c.blue.offset << " " << c.blue.length << "\n";
    out << "transp " << c.transp.offset << " " << c.transp.length << "\n";
    if (c.yres_virtual)
        out << "yres_virtual " << c.yres_virtual << "\n";
    out << "yoffset " << c.yoffset << "\n";
    if (c.line_length)
        out << "line_length " << c.line_length << "\n";
    if (c.smem_len)
        out << "smem_len " << c.smem_len << "\n";
    out << "smem_start " << c.smem_start << "\n";
    out << "mappable " << c.mappable << "\n";
    out << "put_depths";
    for (int depth : c.put_depths)
        out << " " << depth;
    out << "\nput_double " << c.put_double << "\nput_keep_bitfields " << c.put_keep_bitfields
        << "\nput_check_memory " << c.put_check_memory << "\nput_unchecked " << c.put_unchecked
        << "\n";
    char name[16];
    for (const FbemuRefusal &r : c.refusals) {
        const char *request = fbemu_request_name(r.request);
        if (r.result == -1 && r.nth == 0)
            out << "refuse " << request << " " << fbemu_errno_name(r.err, name, sizeof name);
        else if (r.result == -1)
            out << "refuse_nth " << request << " " << r.nth << " "
                << fbemu_errno_name(r.err, name, sizeof name);
        else if (r.nth == 0)
            out << "answer " << request << " " << r.result;
        else
            out << "answer_nth " << request << " " << r.nth << " " << r.result;
        out << "\n";
    }
    return out.str();
}

static std::string device_file(const std::string &dir, int n, const char *suffix)
{
    return dir + "/fb" + std::to_string(n) + "." + suffix;
}

bool glimmer_fbemu_write_config_text(const std::string &dir, int n, const std::string &text)
{
    char err[128];
    FbemuDevice check;
    if (!fbemu_device_parse(&check, text.c_str(), err, sizeof err)) {
        fprintf(stderr, "fbemu: bad configuration: %s\n", err);
        return false;
    }
    std::ofstream out(device_file(dir, n, "conf"), std::ios::binary | std::ios::trunc);
    out << text;
    return (bool)out.flush();
}

bool glimmer_fbemu_write_config(const std::string &dir, int n, const FbemuConfig &config)
{
    return glimmer_fbemu_write_config_text(dir, n, glimmer_fbemu_config_text(config));
}

bool glimmer_fbemu_read_state(const std::string &dir, int n, FbemuDevice *state)
{
    return fbemu_device_load(dir.c_str(), n, state);
}

bool FbemuLogEntry::has(const std::string &key) const
{
    for (const auto &kv : values)
        if (kv.first == key)
            return true;
    return false;
}

std::string FbemuLogEntry::value(const std::string &key) const
{
    for (const auto &kv : values)
        if (kv.first == key)
            return kv.second;
    return "";
}

long FbemuLogEntry::number(const std::string &key) const
{
    for (const auto &kv : values)
        if (kv.first == key)
            return strtol(kv.second.c_str(), nullptr, 0);
    return -1;
}

std::vector<FbemuLogEntry> glimmer_fbemu_read_log(const std::string &dir, int n)
{
    std::string text;
    if (!read_whole_file(device_file(dir, n, "log"), &text))
        return {};
    return glimmer_fbemu_parse_log(text);
}

std::vector<FbemuLogEntry> glimmer_fbemu_parse_log(const std::string &text)
{
    std::vector<FbemuLogEntry> log;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        FbemuLogEntry e;
        e.line = line;
        e.result = 0;
        std::istringstream words(line);
        std::string word;
        words >> e.name;
        bool after_arrow = false, have_result = false;
        while (words >> word) {
            if (word == "->") {
                after_arrow = true;
                continue;
            }
            if (after_arrow && !have_result) {
                e.result = strtol(word.c_str(), nullptr, 10);
                have_result = true;
                continue;
            }
            const size_t eq = word.find('=');
            if (eq == std::string::npos)
                e.error = word;
            else
                e.values.emplace_back(word.substr(0, eq), word.substr(eq + 1));
        }
        log.push_back(e);
    }
    return log;
}

std::vector<FbemuLogEntry> glimmer_fbemu_log_of(const std::vector<FbemuLogEntry> &log,
                                                const std::string &name)
{
    std::vector<FbemuLogEntry> some;
    for (const FbemuLogEntry &e : log)
        if (e.name == name)
            some.push_back(e);
    return some;
}

bool glimmer_fbemu_read_memory(const std::string &dir, int n, std::vector<uint8_t> *memory)
{
    std::string bytes;
    if (!read_whole_file(device_file(dir, n, "mem"), &bytes))
        return false;
    memory->assign(bytes.begin(), bytes.end());
    return true;
}

bool glimmer_fbemu_pixel_value(const FbemuDevice &s, const std::vector<uint8_t> &memory, uint32_t x,
                               uint32_t line, uint32_t *value)
{
    const uint32_t bytes = s.bits_per_pixel / 8;
    if (s.bits_per_pixel != 16 && s.bits_per_pixel != 24 && s.bits_per_pixel != 32)
        return false;
    const uint64_t at =
        fbemu_page_offset(&s) + (uint64_t)s.line_length * line + (uint64_t)bytes * x;
    if (at + bytes > memory.size())
        return false;
    // Pixels are stored in the machine's own byte order; 24 bpp lowest byte first.
    uint32_t v = 0;
    if (bytes == 2) {
        uint16_t v16;
        memcpy(&v16, &memory[at], 2);
        v = v16;
    } else if (bytes == 4) {
        memcpy(&v, &memory[at], 4);
    } else {
        v = (uint32_t)memory[at] | (uint32_t)memory[at + 1] << 8 | (uint32_t)memory[at + 2] << 16;
    }
    *value = v;
    return true;
}

static uint8_t channel(uint32_t value, FbemuField f)
{
    if (f.length == 0 || f.offset >= 32)
        return 0;
    if (f.length >= 8) // keep the top eight bits
        return (uint8_t)(value >> (f.offset + f.length - 8));
    const uint32_t max = (1u << f.length) - 1;
    const uint32_t c = (value >> f.offset) & max;
    return (uint8_t)((c * 255 + max / 2) / max);
}

FbemuRgb glimmer_fbemu_decode_value(const FbemuDevice &s, uint32_t value)
{
    return {channel(value, s.red), channel(value, s.green), channel(value, s.blue)};
}

bool glimmer_fbemu_decode_lines(const FbemuDevice &s, const std::vector<uint8_t> &memory,
                                uint32_t first_line, FbemuImage *image)
{
    image->width = (int)s.xres;
    image->height = (int)s.yres;
    image->pixels.assign((size_t)s.xres * s.yres, FbemuRgb{0, 0, 0});
    for (uint32_t y = 0; y < s.yres; y++)
        for (uint32_t x = 0; x < s.xres; x++) {
            uint32_t v;
            if (!glimmer_fbemu_pixel_value(s, memory, x, first_line + y, &v))
                return false;
            image->pixels[(size_t)y * s.xres + x] = glimmer_fbemu_decode_value(s, v);
        }
    return true;
}

static bool decode_at(const std::string &dir, int n, int page, FbemuImage *image)
{
    FbemuDevice s;
    std::vector<uint8_t> memory;
    if (!glimmer_fbemu_read_state(dir, n, &s) || !glimmer_fbemu_read_memory(dir, n, &memory))
        return false;
    const uint32_t first = page < 0 ? s.yoffset : (uint32_t)page * s.yres;
    return glimmer_fbemu_decode_lines(s, memory, first, image);
}

bool glimmer_fbemu_decode_page(const std::string &dir, int n, int page, FbemuImage *image)
{
    return page >= 0 && decode_at(dir, n, page, image);
}

bool glimmer_fbemu_decode_shown(const std::string &dir, int n, FbemuImage *image)
{
    return decode_at(dir, n, -1, image);
}

// ---- PNG -------------------------------------------------------------------

uint32_t glimmer_fbemu_adler32(const uint8_t *data, size_t len, uint32_t adler)
{
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    for (size_t i = 0; i < len; i++) {
        a = (a + data[i]) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

static void put32(std::vector<uint8_t> *out, uint32_t v)
{
    out->push_back((uint8_t)(v >> 24));
    out->push_back((uint8_t)(v >> 16));
    out->push_back((uint8_t)(v >> 8));
    out->push_back((uint8_t)v);
}

static void chunk(std::vector<uint8_t> *out, const char *type, const std::vector<uint8_t> &data)
{
    put32(out, (uint32_t)data.size());
    const size_t start = out->size();
    out->insert(out->end(), type, type + 4);
    out->insert(out->end(), data.begin(), data.end());
    put32(out, glimmer_fbemu_crc32(out->data() + start, out->size() - start));
}

std::vector<uint8_t> glimmer_fbemu_png(const FbemuImage &image)
{
    // Raw scan lines, each after filter byte 0 (none).
    std::vector<uint8_t> raw;
    raw.reserve((size_t)image.height * ((size_t)image.width * 3 + 1));
    for (int y = 0; y < image.height; y++) {
        raw.push_back(0);
        for (int x = 0; x < image.width; x++) {
            const FbemuRgb p = image.at(x, y);
            raw.push_back(p.r);
            raw.push_back(p.g);
            raw.push_back(p.b);
        }
    }
    // A zlib stream of stored (uncompressed) deflate blocks.
    std::vector<uint8_t> z = {0x78, 0x01};
    size_t at = 0;
    do {
        const size_t n = raw.size() - at < 65535 ? raw.size() - at : 65535;
        z.push_back(at + n == raw.size() ? 1 : 0); // BFINAL, BTYPE 00
        z.push_back((uint8_t)n);
        z.push_back((uint8_t)(n >> 8));
        z.push_back((uint8_t)~n);
        z.push_back((uint8_t)(~n >> 8));
        z.insert(z.end(), raw.begin() + (ptrdiff_t)at, raw.begin() + (ptrdiff_t)(at + n));
        at += n;
    } while (at < raw.size());
    put32(&z, glimmer_fbemu_adler32(raw.data(), raw.size()));

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    put32(&header, (uint32_t)image.width);
    put32(&header, (uint32_t)image.height);
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8 bits, RGB, deflate, no filter, no interlace
    chunk(&png, "IHDR", header);
    chunk(&png, "IDAT", z);
    chunk(&png, "IEND", {});
    return png;
}

bool glimmer_fbemu_save_png(const std::string &path, const FbemuImage &image)
{
    if (image.width <= 0 || image.height <= 0)
        return false;
    const std::vector<uint8_t> png = glimmer_fbemu_png(image);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write((const char *)png.data(), (std::streamsize)png.size());
    return (bool)out.flush();
}

bool glimmer_fbemu_save_page_png(const std::string &dir, int n, int page, const std::string &path)
{
    FbemuImage image;
    return glimmer_fbemu_decode_page(dir, n, page, &image) && glimmer_fbemu_save_png(path, image);
}

bool glimmer_fbemu_save_shown_png(const std::string &dir, int n, const std::string &path)
{
    FbemuImage image;
    return glimmer_fbemu_decode_shown(dir, n, &image) && glimmer_fbemu_save_png(path, image);
}
