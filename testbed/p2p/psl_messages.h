// Every session message either side sends, as one table of layouts: each row names the message and form, its
// header type, route and flags, its payload size and its fields by offset. One builder and one reader serve
// every row, so a layout is written once and read back by the same description.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "psl_wire.h"

namespace qvbed::psl {

// A field value: number, text (UIDs and strings), byte string, address, list of numbers, list of addresses.
using Value = std::variant<int64_t, std::string, Bytes, Addr, std::vector<int64_t>, std::vector<Addr>>;
using Fields = std::vector<std::pair<std::string, Value>>;  // in layout order

const Value *find_field(const Fields &f, std::string_view name);

enum class Kind : uint8_t {
    kU8,
    kU16,
    kU32,
    kI32,
    kText,       // `width` bytes, NUL-padded; reads stop at the first NUL (UIDs are text of width 20)
    kBytes,      // `width` bytes, or the rest of the payload when width is 0
    kAddr,       // one 16-byte address block
    kAddrs,      // `width` address blocks, or as many as the rest of the payload holds when width is 0
    kU32s,       // `width` u32 words
    kConst,      // a fixed number of `width` bytes (value `constant`); written, never read as a field
    kConstText,  // fixed text `text`, `width` bytes
    kGroupIds,   // record {u8 1, u8 0, u16 6, three u16}, appended at the record cursor
    kServers,    // record {u8 2, u8 0, u16 16n, n address blocks}
    kBlob,       // record {u8 3, u8 0, u16 n, n bytes}
};

struct Field {
    const char *name;
    uint16_t offset;  // payload offset (the record cursor's start for record kinds)
    Kind kind;
    uint16_t width = 0;
    int64_t constant = 0;
    const char *text = nullptr;
};

// Header fields a layout takes from the field list (others stay 0, flags take the layout's value).
enum HeaderInput : uint8_t {
    kHSeq = 1,
    kHTag = 2,
    kHChannel = 4,
    kHExtra = 8,
    kHRouteFlags = 16,
    kHFlags = 32,
};

struct Layout {
    const char *msg;   // catalogue name, e.g. "MSG_QUERY_GROUP"
    const char *form;  // variant, e.g. "punch96"
    uint16_t type;
    uint8_t route;
    uint8_t flags;    // default header flags (SCRAMBLED always set on the wire)
    uint16_t length;  // payload bytes; the minimum when a field runs to the end
    uint8_t header;   // HeaderInput bits
    std::vector<Field> fields;
    bool variable() const;
};

const std::vector<Layout> &layouts();
const Layout *find_layout(std::string_view msg, std::string_view form);

// The plain packet (header + payload) of a layout from its fields. Missing fields are an error (their name in
// *error), as is a value of the wrong kind or one that does not fit its width.
std::optional<Bytes> build_plain(const Layout &l, const Fields &f, std::string *error = nullptr);
// The datagram as sent: build_plain, then scrambled.
std::optional<Bytes> build(const Layout &l, const Fields &f, std::string *error = nullptr);

// The fields of a received packet read by a layout: the type must match and the payload must hold the
// layout's length; lists and records are read only as far as the payload goes, and a record whose length runs
// past the payload makes the read fail. Header inputs of the layout are read too.
std::optional<Fields> read(const Layout &l, const Packet &p);

// The layout a receiver reads a packet with: the longest form of its type whose length the payload holds.
const Layout *classify(const Packet &p);

}  // namespace qvbed::psl
