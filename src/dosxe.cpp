#include "dosxe.h"

#include "extract.h"
#include "listing.h"
#include "messages.h"
#include "names.h"
#include "walkguard.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t cluster_size = 256;
constexpr std::uint32_t payload = 250; // file bytes in a data cluster, before its trailer
constexpr std::uint32_t entry_size = 49;
constexpr unsigned entries_per_cluster = 5;
constexpr std::uint32_t vtoc_cluster = 4;
constexpr unsigned max_dir_clusters = 256; // a directory cluster's sequence number is one byte
constexpr std::uint32_t max_maps = 12;
constexpr std::uint32_t map_slots = 125; // cluster numbers in one map cluster

// Data clusters one run may read.  On a sound disk every data cluster
// belongs to one file, so a run reads each at most once (fewer than 65536);
// only entries that share clusters can ask for more, and a few kilobytes of
// such entries must not make the listing read, or the extraction write,
// gigabytes.
constexpr std::uint32_t read_budget = 2 * 65536;

// Where the fields lie in a directory cluster and its trailer.
enum : std::size_t {
    dc_next = 0xF8,    // next cluster of the directory, 0 = last
    tr_file_no = 0xFA, // owner's file number (0 for the root directory)
    tr_disk_no = 0xFC, // disk number, as in the VTOC
    tr_seq = 0xFE,     // two bytes of sequence, by cluster kind
};

// A 49-byte directory entry.
enum : std::size_t {
    e_name = 0x01,    // 8 + 3 bytes, blank-filled
    e_whole = 0x0C,   // N: whole 250-byte clusters
    e_rest = 0x0E,    // r: bytes in the last cluster
    e_file_no = 0x0F,
    e_disk_no = 0x11,
    e_maps = 0x13,    // 12 map-cluster numbers; a directory's first cluster
    e_changed = 0x2D, // date of last change, high byte first
};

enum : unsigned {
    fl_dead = 0x80,      // deleted, or still being written
    fl_in_use = 0x40,
    fl_large_run = 0x08, // each map slot names a run of 8 allocation units
    fl_dir = 0x01,
};

// The boot sector fields, decoded once.
struct XeBoot {
    std::uint32_t unit;           // clusters per allocation unit
    std::uint32_t total;          // T: clusters 0 .. T - 1
    std::uint32_t formatted_free; // free clusters just after formatting
    std::uint32_t root;           // first cluster of the root directory
};

struct XeVtoc {
    std::uint32_t total;
    std::uint32_t free;
    std::uint32_t disk_no;
};

struct XeWalk {
    const AtrImage *image = nullptr;
    int atari_list = 0;
    int lower_case = 0;
    int extract = 0;
    std::uint32_t total = 0;
    std::uint32_t unit = 1;
    std::uint32_t disk_no = 0;

    // State of one run.  Cluster numbers are 16 bits.
    WalkGuard guard;
    SectorMarks dir_marks;  // the clusters of the directory chain being read
    SectorMarks data_marks; // the data clusters of the file being read
    // For each cluster read as part of a directory: that directory's first
    // cluster + 1.  A sound disk never shares a directory cluster, and this
    // keeps a disk of crossed chains from listing one tail many times.
    SectorTable<std::uint32_t> dir_owner;
    std::uint32_t reads_left = read_budget;
    // Directory clusters that may still be counted for the size of a
    // subdirectory's line.  A sound disk counts each directory once; many
    // entries naming long directories that are not walked again must not
    // make the listing slow.
    std::uint32_t counts_left = read_budget;
};


// Cluster c of the image: two 128-byte sectors 2c and 2c + 1, or one
// 256-byte sector c.  nullptr for cluster 0 and for clusters the image lacks.
const std::uint8_t *xe_cluster(const AtrImage &img, std::uint32_t c)
{
    if (c == 0)
        return nullptr;
    if (img.sector_size == 128)
        return atr_run(img, 2 * c, cluster_size);
    if (img.sector_size == 256)
        return atr_sector(img, c);
    return nullptr;
}

// Cluster c when it is one of the volume's clusters 1 .. T - 1.
const std::uint8_t *walk_cluster(const XeWalk &w, std::uint32_t c)
{
    return c < w.total ? xe_cluster(*w.image, c) : nullptr;
}

bool trailer_is(const std::uint8_t *cl, std::uint32_t file_no, std::uint32_t disk_no, unsigned seq0,
                unsigned seq1)
{
    return le16(cl + tr_file_no) == file_no && le16(cl + tr_disk_no) == disk_no &&
           cl[tr_seq] == seq0 && cl[tr_seq + 1] == seq1;
}

// Byte size of a file: N whole 250-byte clusters and r bytes more.  r above
// 250 is never written by the DOS; the sum still holds.
std::uint32_t entry_size_bytes(const std::uint8_t *e)
{
    return payload * le16(e + e_whole) + e[e_rest];
}

const char *shown(const std::string &path)
{
    return path.empty() ? "/" : path.c_str();
}

bool recognise(const AtrImage &img, XeBoot &b, XeVtoc &v)
{
    if ((img.sector_size != 128 && img.sector_size != 256) || img.sector_count < 12)
        return false;
    const std::uint8_t *boot = atr_sector(img, 1);
    if (!boot)
        return false;

    // The density code: 1 to 6 characters, then zero bytes.  The DOS knows
    // five codes and a placeholder of question marks; the checks below
    // are strong enough to allow any code of this shape.
    int len = 0;
    while (len < 6 && boot[0x10 + len] != 0)
        len++;
    if (len == 0)
        return false;
    for (int i = 0; i < 6; i++) {
        const std::uint8_t c = boot[0x10 + i];
        if (i < len ? !((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '?') : c != 0)
            return false;
    }

    b.unit = boot[0x17];
    b.total = le16(boot + 0x18);
    b.formatted_free = le16(boot + 0x1A);
    b.root = boot[0x1D];
    if (b.unit == 0 || (b.unit & (b.unit - 1)) != 0)
        return false;
    if (b.root <= vtoc_cluster || b.root >= b.total || b.formatted_free >= b.total)
        return false;
    // Every cluster the boot sector counts must be in the image.
    if (!xe_cluster(img, b.total - 1))
        return false;

    const std::uint8_t *vtoc = xe_cluster(img, vtoc_cluster);
    if (!vtoc)
        return false;
    v.total = le16(vtoc + 2);
    v.free = le16(vtoc + 4);
    v.disk_no = le16(vtoc + 8);
    if (v.total != b.total || v.free > b.total)
        return false;

    // The root directory's first cluster carries the root's trailer.
    const std::uint8_t *root = xe_cluster(img, b.root);
    return root && trailer_is(root, 0, v.disk_no, 0, 0xFF);
}

struct XeDir {
    std::vector<const std::uint8_t *> entries; // up to the end marker
    std::uint32_t clusters = 0;                // of the chain, also past the end marker
};

// Reads the chain of the directory that starts in `first` and belongs to
// file number `file_no`.  With `claim` it reports what cuts the chain short
// and marks its clusters as this directory's; without, it only counts.
XeDir read_dir(XeWalk &w, std::uint32_t first, std::uint32_t file_no, const std::string &path, bool claim)
{
    XeDir d;
    bool ended = false;
    w.dir_marks.new_chain();
    std::uint32_t c = first;
    for (unsigned n = 0; c != 0; n++) {
        if (n == max_dir_clusters) {
            if (claim)
                show_msg("%s: directory too big", shown(path));
            break;
        }
        if (!claim && w.counts_left-- == 0) {
            w.counts_left = 0;
            break;
        }
        const std::uint8_t *cl = walk_cluster(w, c);
        if (!cl) {
            if (claim)
                show_msg("%s: invalid directory cluster %u", shown(path), c);
            break;
        }
        if (w.dir_marks.passed(c)) {
            if (claim)
                show_msg("%s: loop in directory clusters at cluster %u", shown(path), c);
            break;
        }
        w.dir_owner.take(65536);
        const std::uint32_t owner = w.dir_owner[c];
        if (owner != 0 && owner != first + 1) {
            if (claim)
                show_msg("%s: directory cluster %u shared with another directory", shown(path), c);
            break;
        }
        // A cluster of some other kind holds no entries of this directory.
        if (!trailer_is(cl, file_no, w.disk_no, n, 0xFF)) {
            if (claim)
                show_msg("%s: cluster %u not of this directory", shown(path), c);
            break;
        }
        if (claim)
            w.dir_owner[c] = first + 1;
        d.clusters++;
        // The DOS's search stops at the first entry whose flags are 0, even
        // when later entries or clusters follow.
        for (unsigned i = 0; i < entries_per_cluster && !ended; i++) {
            const std::uint8_t *e = cl + i * entry_size;
            if (e[0] == 0)
                ended = true;
            else
                d.entries.push_back(e);
        }
        c = le16(cl + dc_next);
    }
    return d;
}

// Follows the maps of a file entry; with `data`, gathers the file's bytes
// there.  Returns the bytes delivered, which fall short of the entry's size
// when a map or data cluster is missing or out of place.
std::uint32_t read_file(XeWalk &w, const std::uint8_t *e, const std::string &path,
                        std::vector<std::uint8_t> *data)
{
    const std::uint32_t size = entry_size_bytes(e);
    const std::uint32_t file_no = le16(e + e_file_no);
    const std::uint32_t unit = w.unit * ((e[0] & fl_large_run) ? 8 : 1);
    const std::uint32_t needed = (size + payload - 1) / payload;

    std::uint32_t got = 0;
    const std::uint8_t *map = nullptr;
    std::uint32_t map_k = max_maps;
    bool foreign_reported = false;
    w.data_marks.new_chain();

    for (std::uint32_t i = 0; i < needed; i++) {
        // Data cluster i lies in allocation unit j, named by slot j % 125
        // of map cluster k.
        const std::uint32_t j = i / unit;
        const std::uint32_t k = j / map_slots;
        if (k >= max_maps) {
            show_msg("%s: more than %u map clusters needed", path.c_str(), unsigned(max_maps));
            break;
        }
        if (k != map_k) {
            const std::uint32_t m = le16(e + e_maps + 2 * k);
            if (m == 0) {
                show_msg("%s: map cluster %u missing", path.c_str(), k);
                break;
            }
            map = walk_cluster(w, m);
            if (!map) {
                show_msg("%s: map cluster %u at invalid cluster %u", path.c_str(), k, m);
                break;
            }
            // The DOS refuses such a map; its numbers are still the best
            // guess at where the data lies.
            if (!trailer_is(map, file_no, w.disk_no, 2 * k, 0x80 | 2 * k))
                show_msg("%s: map cluster %u not of this file", path.c_str(), k);
            map_k = k;
        }
        const std::uint32_t base = le16(map + 2 * (j % map_slots));
        if (base == 0) {
            show_msg("%s: data cluster %u missing", path.c_str(), i);
            break;
        }
        const std::uint32_t c = base + i % unit;
        const std::uint8_t *cl = walk_cluster(w, c);
        if (!cl) {
            show_msg("%s: data cluster %u at invalid cluster %u", path.c_str(), i, c);
            break;
        }
        if (w.data_marks.passed(c)) {
            show_msg("%s: loop in data clusters at cluster %u", path.c_str(), c);
            break;
        }
        if (w.reads_left == 0) {
            show_msg("%s: too many clusters shared between files, not read", path.c_str());
            break;
        }
        w.reads_left--;

        // Six equal trailer bytes mark a cluster the DOS never wrote; it
        // reads as zeros.  Any other foreign trailer is reported once, and
        // the cluster's bytes are taken as they are.
        const std::uint8_t *t = cl + tr_file_no;
        const bool unwritten = std::all_of(t + 1, t + 6, [t](std::uint8_t b) { return b == t[0]; });
        if (!unwritten && !foreign_reported && !trailer_is(cl, file_no, w.disk_no, i & 0xFF, (i >> 8) & 0xFF)) {
            show_msg("%s: data cluster %u not of this file", path.c_str(), i);
            foreign_reported = true;
        }
        const std::uint32_t take = std::min(payload, size - got);
        if (data) {
            if (unwritten)
                data->insert(data->end(), take, 0);
            else
                data->insert(data->end(), cl, cl + take);
        }
        got += take;
    }
    if (got < size)
        show_msg("%s: short file in disk", path.c_str());
    return got;
}

bool leap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Stamps an extracted file or directory with the entry's date of last
// change, at 00:00 local time.  set_file_time reads year values below 84 as
// 20xx; DOS XE appeared in 1988, so such a year, like a date without a
// valid month or day, is no date the DOS wrote, and the host keeps the time
// of extraction.
void stamp(const std::string &host_path, const std::uint8_t *e)
{
    static const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const std::uint32_t v = be16(e + e_changed);
    const int year = int(v >> 9), month = int(v >> 5 & 15), day = int(v & 31);
    if (year < 84 || month < 1 || month > 12 || day < 1)
        return;
    if (day > month_days[month - 1] + (month == 2 && leap(1900 + year) ? 1 : 0))
        return;
    set_file_time(host_path, day, month, year, 0, 0, 0);
}

// The first cluster of an entry, when the walk may follow it.
bool first_cluster_ok(const XeWalk &w, const std::uint8_t *e)
{
    const std::uint32_t first = le16(e + e_maps);
    return first != 0 && walk_cluster(w, first);
}

void list_dir(XeWalk &w, std::uint32_t first, std::uint32_t file_no, const std::string &path)
{
    WalkScope scope(w.guard, first);

    if (w.atari_list)
        listing_heading(path);

    const XeDir dir = read_dir(w, first, file_no, path, true);
    std::vector<ListingSubdir> later; // Atari style: walked after this directory's lines

    for (const std::uint8_t *e : dir.entries) {
        const unsigned flags = e[0];
        if (flags & fl_dead)
            continue;
        const AtariName name = names_8_3(e + e_name, w.lower_case);
        if (name.host.empty()) {
            show_msg("%s: invalid file name, skip", shown(path));
            continue;
        }
        const std::string entry_path = path + "/" + name.host;
        const std::string host_path = entry_path.substr(1);
        if (!(flags & fl_in_use)) {
            show_msg("%s: invalid file type %02x", entry_path.c_str(), flags);
            continue;
        }
        const bool is_dir = flags & fl_dir;
        const std::uint32_t size = entry_size_bytes(e);
        // An empty file needs no map, so it lists whatever its map number.
        if ((is_dir || size > 0) && !first_cluster_ok(w, e)) {
            show_msg("%s: invalid first cluster %u, skip", entry_path.c_str(), le16(e + e_maps));
            continue;
        }
        if (le16(e + e_disk_no) != w.disk_no)
            show_msg("%s: wrong disk number %04x", entry_path.c_str(), le16(e + e_disk_no));

        if (is_dir) {
            const std::uint32_t sub = le16(e + e_maps);
            // In the Atari style subdirectories are walked after the listing
            // of this one (second pass below).
            if (w.atari_list) {
                listing_entry(1, name.atari, 12, 0, entry_path, true);
                later.push_back({entry_path, sub, le16(e + e_file_no)});
                continue;
            }
            if (w.extract) {
                extract_dir(host_path);
            } else {
                const XeDir d = read_dir(w, sub, le16(e + e_file_no), entry_path, false);
                listing_entry(0, name.atari, 12, d.clusters * cluster_size, entry_path, true);
            }
            if (walk_guard_allows(w.guard, sub, entry_path.c_str()))
                list_dir(w, sub, le16(e + e_file_no), entry_path);
            // The directory's time goes on after its contents are written.
            if (w.extract)
                stamp(host_path, e);
            continue;
        }

        // A listing shows the size the entry records and reports what
        // reading would meet; extraction writes the bytes that were read.
        std::vector<std::uint8_t> data;
        read_file(w, e, entry_path, w.extract ? &data : nullptr);
        if (w.extract) {
            const std::string written = extract_file(host_path, data.data(), data.size());
            stamp(written, e);
        } else {
            listing_entry(w.atari_list, name.atari, 12, size, entry_path, false);
        }
    }

    if (w.atari_list)
        listing_close_dir(later, w.guard,
                          [&](const ListingSubdir &sub) { list_dir(w, sub.first, sub.owner, sub.path); });
}

} // namespace

int dosxe_list(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract)
{
    XeBoot b;
    XeVtoc v;
    if (!recognise(image, b, v))
        return 1;

    const std::uint32_t n = image.sector_count;
    const unsigned s = unsigned(image.sector_size);
    if (atari_list)
        show_out("ATR image: %s\nImage size: %u sectors of %u bytes\nDOS size: %u clusters free of %u "
                 "total\nVolume: DOS XE\n",
                 name, n, s, v.free, b.total);
    else
        show_out("%s: %u sectors of %u bytes, DOS XE, %u clusters free of %u total.\n", name, n, s, v.free,
                 b.total);

    auto w = std::make_unique<XeWalk>();
    w->image = &image;
    w->atari_list = atari_list;
    w->lower_case = lower_case;
    w->extract = extract;
    w->total = b.total;
    w->unit = b.unit;
    w->disk_no = v.disk_no;
    list_dir(*w, b.root, 0, "");
    return 0;
}
