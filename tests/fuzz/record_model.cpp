// SPDX-License-Identifier: BSD-2-Clause
#include "fuzz/record_model.h"

#include <net/if.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "clock/clock.h"
#include "clock/clock_test.h"
#include "fuzz/addr_model.h"
#include "common/settings.h"

namespace {

// The indexes of this machine's interfaces, taken once: they do not change
// while the fuzzer runs.
std::vector<uint32_t> Interfaces() {
    std::vector<uint32_t> out;
    struct if_nameindex* list = if_nameindex();
    for (size_t i = 0; list != nullptr && list[i].if_index != 0; i++) out.push_back(list[i].if_index);
    if (list != nullptr) if_freenameindex(list);
    return out;
}

// The source an address block makes, and its text; record_model.h tells the kinds.
void Source(const uint8_t* block, RecordCase* c) {
    AddrBytes a{};
    memcpy(a.b, block + 1, sizeof a.b);
    uint32_t zone = block[17] | block[18] << 8 | block[19] << 16 | static_cast<uint32_t>(block[20]) << 24;
    int kind = block[0] & 7;
    if (kind <= 1) {
        memset(a.b, 0, 10);
        a.b[10] = a.b[11] = 0xff;
        memcpy(a.b + 12, block + 1, 4);
    }
    if (kind >= 3 && kind <= 5)
        for (int g = 0; g < 16; g += 2) a.b[g] |= 0x10;
    if (kind >= 4 && kind <= 6) {
        a.b[0] = 0xfe;
        a.b[1] = static_cast<unsigned char>(0x80 | (a.b[1] & 0x3f));
    }
    if (kind == 5) zone |= 0xf0000000u;
    if (kind == 6) {
        // The zone-th interface, counting around the list.
        static const std::vector<uint32_t> interfaces = Interfaces();
        zone = interfaces.empty() ? 1 : interfaces[zone % interfaces.size()];
    }
    if (kind == 0) {
        uint32_t v4;
        memcpy(&v4, a.b + 12, sizeof v4);
        c->source = Addr_FromV4(v4);
    } else {
        struct in6_addr in;
        memcpy(&in, a.b, sizeof in);
        c->source = Addr_FromV6(in, zone);
    }
    c->addrtext = AddrModel_Text(a, zone);
    if ((block[0] & 0x38) == 0x38) {
        c->cap = RECORDMODEL_CAP;
        c->prefill = RECORDMODEL_CAP - (block[1] | block[2] << 8);
    }
}

// The model's file: its length as the daemon counts it, and whether it took
// the marker of the cap.
struct ModelFile {
    int64_t length;
    int64_t cap;
    bool capped;
    std::string marker;  // the marker line of the current datagram
};

ModelFile file;

// One record, unless the file is at its cap; the one that reaches it is
// written whole and followed by the marker.
void Record(std::string* out, const std::string& record) {
    if (file.capped) return;
    *out += record;
    file.length += static_cast<int64_t>(record.size());
    if (file.length < file.cap) return;
    *out += file.marker;
    file.capped = true;
}

// What each cleaning makes of a byte.
struct Cleaning {
    unsigned char control[256];       // every control byte a space
    unsigned char controlbutlf[256];  // the same but LF
    unsigned char nul[256];           // NUL a space
};

Cleaning MakeCleaning() {
    Cleaning t;
    for (int c = 0; c < 256; c++) {
        auto b = static_cast<unsigned char>(c);
        bool control = c <= 0x1F || (c >= 0x80 && c <= 0x9F);
        t.control[c] = control ? ' ' : b;
        t.controlbutlf[c] = control && c != '\n' ? ' ' : b;
        t.nul[c] = c == 0 ? ' ' : b;
    }
    return t;
}

const Cleaning cleaning = MakeCleaning();

void AppendCleaned(std::string* out, const char* text, size_t len, const unsigned char* map) {
    size_t at = out->size();
    out->append(text, len);
    for (size_t i = at; i < out->size(); i++) (*out)[i] = static_cast<char>(map[static_cast<unsigned char>((*out)[i])]);
}

std::string Printable(std::string_view s, size_t from, size_t count) {
    std::string out;
    for (size_t i = from; i < s.size() && i < from + count; i++) {
        auto c = static_cast<unsigned char>(s[i]);
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", c);
        out += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, static_cast<char>(c)) : hex;
    }
    return out;
}

// The stamp of a datagram stored at RECORDMODEL_SEC and usec, in UTC.
std::string Stamp(bool old, uint32_t usec) {
    if (old) return RECORDMODEL_OLD_STAMP;
    char micro[8];
    snprintf(micro, sizeof micro, "%06u", usec);
    return std::string("2024-05-06T07:08:09.") + micro + "+00:00";
}

// Appends what one datagram of this text adds to its file in the given mode,
// after the head "<stamp> <addr> ".
void Append(std::string* out, int32_t mode, const std::string& head, const std::string& text) {
    std::string r;
    switch (mode) {
    case RECVMODE_TRUNCATE:
        r = head;
        AppendCleaned(&r, text.data(), std::min(text.find('\n'), text.size()), cleaning.control);
        Record(out, r + '\n');
        return;
    case RECVMODE_FLAT:
        r = head;
        AppendCleaned(&r, text.data(), text.size(), cleaning.control);
        Record(out, r + '\n');
        return;
    case RECVMODE_FORENSIC:
    case RECVMODE_FORENSICRAW:
        r = head + std::to_string(text.size()) + " ";
        AppendCleaned(&r, text.data(), text.size(), mode == RECVMODE_FORENSIC ? cleaning.controlbutlf : cleaning.nul);
        Record(out, r + '\n');
        return;
    default:
        // Split: k LFs cut the text into k + 1 pieces; a text that ends with
        // its LF leaves an empty last piece, which is no record.
        for (size_t start = 0; start < text.size();) {
            size_t lf = text.find('\n', start);
            size_t end = lf == std::string::npos ? text.size() : lf;
            r = head;
            AppendCleaned(&r, text.data() + start, end - start, cleaning.control);
            Record(out, r + '\n');
            start = end + 1;
        }
        return;
    }
}

}  // namespace

RecordCase RecordModel_Decode(const uint8_t* data, size_t size) {
    RecordCase c;
    c.recvmode = data[0] & 7;
    c.oldtimestamp = (data[0] >> 3) & 1;
    c.bufsize = RECORDMODEL_BUFSIZES[data[0] >> 4];
    c.cap = SettingsRecord{}.maxfilesize;
    c.prefill = 0;
    uint8_t block[RECORDMODEL_ADDR_BLOCK] = {};
    size_t pos = 1 + std::min(size - 1, sizeof block);
    memcpy(block, data + 1, pos - 1);
    Source(block, &c);

    // A text of LFs alone makes a record of every byte in split mode, and the
    // fuzzer favours such inputs: the bound on the bytes keeps them cheap.
    size_t total = 0;
    while (static_cast<int>(c.datagrams.size()) < RECORDMODEL_DATAGRAMS_MAX && total < RECORDMODEL_INPUT_TEXT &&
           pos + 4 <= size) {
        size_t raw = data[pos] | data[pos + 1] << 8;
        size_t shift = raw >> 13;
        size_t n = shift == 7 ? RECORDMODEL_TEXT_MAX + (raw & 0x1FFF) : (raw & 0x1FFF) >> shift;
        size_t k = data[pos + 2] | (data[pos + 3] & 0x7F) << 8;
        bool reopen = (data[pos + 3] & 0x80) != 0;
        pos += 4;
        if (k > size - pos) k = size - pos;
        const char* pattern = reinterpret_cast<const char*>(data + pos);
        pos += k;
        if (n == 0) n = k;
        if (n == 0) continue;  // the receive loop stores no empty datagram
        if (k == 0) {
            pattern = "x";  // the fill of a datagram without a pattern
            k = 1;
        }
        size_t len = std::min(n, RECORDMODEL_TEXT_MAX);
        RecordDatagram d{n, reopen, std::string()};
        d.text.reserve(len);
        d.text.append(pattern, std::min(k, len));
        // Doubling: the text so far is whole repetitions of the pattern.
        while (d.text.size() < len) d.text.append(d.text.data(), std::min(d.text.size(), len - d.text.size()));
        total += len;
        c.datagrams.push_back(std::move(d));
    }
    return c;
}

void RecordModel_Begin(const RecordCase& c) {
    Settings = SettingsRecord{};
    Settings.recvmode = c.recvmode;
    Settings.oldtimestamp = c.oldtimestamp;
    Settings.bufsize = c.bufsize;
    Settings.maxfilesize = c.cap;
    file = {c.prefill, c.cap, c.prefill >= c.cap, ""};
    // The stamp style is the clock's own, set before its rebuild.
    Clock = ClockRecord{};
    Clock.oldstyle = c.oldtimestamp != 0;
    Clock_UpdateAt(&Clock, RECORDMODEL_SEC, 0);
}

std::vector<char> RecordModel_Datagram(const RecordCase& c, size_t count, std::string* expected) {
    const RecordDatagram& g = c.datagrams[count];
    // The microseconds change from datagram to datagram.
    auto usec = static_cast<uint32_t>((count * 104729 + g.n) % 1000000);
    Clock_UpdateAt(&Clock, RECORDMODEL_SEC, usec);
    std::string stamp = Stamp(c.oldtimestamp != 0, usec);
    file.marker = stamp + " corvashenmir <44>Maximum file length (" + std::to_string(c.cap) + ") exceeded for " +
                  c.addrtext + "\n";
    Append(expected, c.recvmode, stamp + " " + c.addrtext + " ", g.text);
    std::vector<char> buf(g.text.size() + 1, '#');
    std::copy(g.text.begin(), g.text.end(), buf.begin());
    return buf;
}

bool RecordModel_Compare(const char* what, std::string_view expected, std::string_view actual) {
    if (expected == actual) return true;
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) at++;
    size_t from = at < 40 ? 0 : at - 40;
    fprintf(stderr, "record fuzz: %s: %zu bytes, model %zu; first difference at %zu\n"
                    "  %s: ...%s\n  model: ...%s\n",
            what, actual.size(), expected.size(), at, what, Printable(actual, from, 120).c_str(),
            Printable(expected, from, 120).c_str());
    return false;
}
