// SPDX-License-Identifier: MIT
// The XML parameter database: each file is parsed once into an index from
// node and subnode to text, and read again only when it changes.
#include "vehcan_db.h"

#include <pugixml.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>

namespace vehcan::db {
namespace {

// ---- the index ---------------------------------------------------------------

// Lets the maps be probed with the caller's C strings, without building a key.
struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};
template <typename T>
using StringMap = std::unordered_map<std::string, T, StringHash, std::equal_to<>>;

struct Value {
    std::string text;
    unsigned line; // where the subnode stands, for error texts
};

struct Node {
    unsigned line = 0;
    StringMap<Value> subnodes;
};

// A change of any of these means the file must be read again: a file replaced
// by rename() has a new inode even when its size and time match.
struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};

    explicit FileIdentity(const struct stat &st)
        : dev(st.st_dev), ino(st.st_ino), size(st.st_size), mtime(st.st_mtim) {}
    FileIdentity() = default;

    bool operator==(const FileIdentity &o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

// One reading of one file: its index, or why it could not be indexed. A file
// that does not parse is remembered too, so that lookups in it fail fast
// until it changes.
struct Snapshot {
    std::string path;
    FileIdentity id;
    int status = VEHCAN_DB_OK;
    std::string error; // when status is not VEHCAN_DB_OK
    StringMap<Node> nodes;
};

// ---- error texts -------------------------------------------------------------

// Per thread, so that concurrent lookups do not overwrite each other's reasons.
thread_local char t_last_error[512];

__attribute__((format(printf, 1, 2))) void set_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    // The analyzer loses track of va_start through the format attribute.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    (void)std::vsnprintf(t_last_error, sizeof t_last_error, format, args);
    va_end(args);
}

void clear_error() {
    t_last_error[0] = '\0';
}

std::string describe_errno(int err) {
    return std::error_code(err, std::generic_category()).message();
}

// Line numbers of offsets into a text, for offsets met in increasing order
// (as a walk through the document meets its elements).
class LineCounter {
  public:
    explicit LineCounter(std::string_view text) : text_(text) {}

    unsigned line_at(ptrdiff_t offset) {
        if (offset < 0) {
            return 0;
        }
        size_t end = std::min(static_cast<size_t>(offset), text_.size());
        if (end < pos_) {
            pos_ = 0;
            line_ = 1;
        }
        for (; pos_ < end; ++pos_) {
            if (text_[pos_] == '\n') {
                ++line_;
            }
        }
        return line_;
    }

  private:
    std::string_view text_;
    size_t pos_ = 0;
    unsigned line_ = 1;
};

std::string_view trimmed(std::string_view s) {
    const char *blank = " \t\r\n";
    const size_t first = s.find_first_not_of(blank);
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(blank) - first + 1);
}

// ---- reading a file ------------------------------------------------------------

// Reads the whole file through one descriptor, so that the identity recorded
// is that of the bytes read. A change during the read shows in the next stat().
int read_file(const std::string &path, std::string &content, FileIdentity &id, std::string &why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = describe_errno(errno);
        return VEHCAN_DB_ERR_FILE;
    }
    struct stat st {};
    int rc = VEHCAN_DB_OK;
    if (::fstat(fd, &st) != 0) {
        why = describe_errno(errno);
        rc = VEHCAN_DB_ERR_FILE;
    } else {
        id = FileIdentity(st);
        content.resize(static_cast<size_t>(st.st_size > 0 ? st.st_size : 0) + 1);
        size_t used = 0;
        for (;;) {
            if (used == content.size()) {
                content.resize(content.size() * 2);
            }
            const ssize_t n = ::read(fd, content.data() + used, content.size() - used);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                why = describe_errno(errno);
                rc = VEHCAN_DB_ERR_FILE;
                break;
            }
            if (n == 0) {
                break;
            }
            used += static_cast<size_t>(n);
        }
        content.resize(used);
    }
    ::close(fd);
    return rc;
}

void index_document(const pugi::xml_node &root, std::string_view content, Snapshot &snap) {
    LineCounter lines(content);
    for (const pugi::xml_node &node : root.children()) {
        if (node.type() != pugi::node_element) {
            continue;
        }
        auto [entry, fresh] = snap.nodes.try_emplace(node.name());
        if (!fresh) {
            continue; // the first of two equal nodes counts
        }
        entry->second.line = lines.line_at(node.offset_debug());
        for (const pugi::xml_node &sub : node.children()) {
            if (sub.type() != pugi::node_element) {
                continue;
            }
            const unsigned line = lines.line_at(sub.offset_debug());
            entry->second.subnodes.try_emplace(sub.name(),
                                               Value{std::string(trimmed(sub.text().get())), line});
        }
    }
}

// Reads and indexes `path`. Returns nullptr, with the reason set, when the
// file cannot be read at all; a file that does not parse gives a snapshot
// that carries the error.
std::unique_ptr<Snapshot> load(const std::string &path) {
    auto snap = std::make_unique<Snapshot>();
    snap->path = path;
    std::string content;
    std::string why;
    if (read_file(path, content, snap->id, why) != VEHCAN_DB_OK) {
        set_error("%s: cannot read: %s", path.c_str(), why.c_str());
        return nullptr;
    }
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed =
        doc.load_buffer(content.data(), content.size(), pugi::parse_default, pugi::encoding_utf8);
    const pugi::xml_node root = doc.document_element();
    if (!parsed || root.empty()) {
        LineCounter lines(content);
        const unsigned line = lines.line_at(parsed ? 0 : parsed.offset);
        snap->status = VEHCAN_DB_ERR_XML;
        snap->error = path + ":" + std::to_string(line) + ": " +
                      (parsed ? "no root element" : parsed.description());
        return snap;
    }
    index_document(root, content, *snap);
    return snap;
}

// ---- the reader ------------------------------------------------------------------

class Reader {
  public:
    int get(const char *file, const char *node, const char *subnode, char *out, size_t size) {
        int rc = VEHCAN_DB_OK;
        {
            std::shared_lock lock(mutex_);
            if (answer_from_index(file, node, subnode, out, size, rc)) {
                return rc;
            }
        }
        std::unique_lock lock(mutex_);
        // Another thread may have read the file meanwhile.
        if (answer_from_index(file, node, subnode, out, size, rc)) {
            return rc;
        }
        std::unique_ptr<Snapshot> fresh = load(path_for(file));
        if (fresh == nullptr) {
            return VEHCAN_DB_ERR_FILE;
        }
        snapshot_ = std::move(fresh);
        return probe(*snapshot_, node, subnode, out, size);
    }

    void set_path(const char *path) {
        std::string copy(path == nullptr ? "" : path);
        std::unique_lock lock(mutex_);
        override_.swap(copy);
    }

  private:
    // The file to read instead of the one named; called under the lock.
    const char *path_for(const char *file) const {
        if (!override_.empty()) {
            return override_.c_str();
        }
        // getenv() is safe against concurrent getenv(); a host that changes
        // VEHCAN_DB does so while no lookup runs.
        const char *env = std::getenv("VEHCAN_DB"); // NOLINT(concurrency-mt-unsafe)
        return env != nullptr && *env != '\0' ? env : file;
    }

    // Answers from the index when it is that of the file as it is now, or when
    // the file cannot be stat()ed; false when the file must be read first.
    bool answer_from_index(const char *file, const char *node, const char *subnode, char *out,
                           size_t size, int &rc) const {
        const char *path = path_for(file);
        struct stat st {};
        if (::stat(path, &st) != 0) {
            const std::string why = describe_errno(errno);
            set_error("%s: cannot read: %s", path, why.c_str());
            rc = VEHCAN_DB_ERR_FILE;
            return true;
        }
        if (snapshot_ == nullptr || snapshot_->path != path ||
            !(snapshot_->id == FileIdentity(st))) {
            return false;
        }
        rc = probe(*snapshot_, node, subnode, out, size);
        return true;
    }

    static int probe(const Snapshot &snap, const char *node, const char *subnode, char *out,
                     size_t size) {
        if (snap.status != VEHCAN_DB_OK) {
            set_error("%s", snap.error.c_str());
            return snap.status;
        }
        const auto found = snap.nodes.find(std::string_view(node));
        if (found == snap.nodes.end()) {
            set_error("%s: no node %s", snap.path.c_str(), node);
            return VEHCAN_DB_ERR_NO_NODE;
        }
        const auto value = found->second.subnodes.find(std::string_view(subnode));
        if (value == found->second.subnodes.end()) {
            set_error("%s:%u: node %s has no subnode %s", snap.path.c_str(), found->second.line,
                      node, subnode);
            return VEHCAN_DB_ERR_NO_SUBNODE;
        }
        const std::string &text = value->second.text;
        if (text.size() >= size) {
            set_error("%s:%u: %s/%s holds %zu bytes, more than a buffer of %zu takes with its NUL",
                      snap.path.c_str(), value->second.line, node, subnode, text.size(), size);
            return VEHCAN_DB_ERR_TOO_LONG;
        }
        std::memcpy(out, text.c_str(), text.size() + 1);
        clear_error();
        return VEHCAN_DB_OK;
    }

    mutable std::shared_mutex mutex_;
    std::unique_ptr<Snapshot> snapshot_; // the last file read
    std::string override_;               // vehcan_db_set_path(); "" when unset
};

Reader &reader() {
    static Reader instance;
    return instance;
}

} // namespace
} // namespace vehcan::db

// ---- C interface ---------------------------------------------------------------------

extern "C" int vehcan_db_get(const char *file, const char *node, const char *subnode, char *out,
                             size_t out_size) {
    if (file == nullptr || node == nullptr || subnode == nullptr || out == nullptr ||
        out_size == 0) {
        vehcan::db::set_error("vehcan-db: lookup with a null argument or an empty buffer");
        return VEHCAN_DB_ERR_ARGUMENT;
    }
    try {
        return vehcan::db::reader().get(file, node, subnode, out, out_size);
    } catch (const std::bad_alloc &) {
        vehcan::db::set_error("%s: out of memory while indexing", file);
        return VEHCAN_DB_ERR_NO_MEMORY;
    } catch (...) {
        vehcan::db::set_error("%s: unexpected failure while indexing", file);
        return VEHCAN_DB_ERR_FILE;
    }
}

extern "C" int vehcan_db_set_path(const char *path) {
    try {
        vehcan::db::reader().set_path(path);
        return VEHCAN_DB_OK;
    } catch (...) {
        return VEHCAN_DB_ERR_NO_MEMORY;
    }
}

extern "C" const char *vehcan_db_last_error(void) {
    return vehcan::db::t_last_error;
}
