#include "platform/xml_reader_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <pugixml.hpp>
#include <sstream>

#include "app/private_exception.h"

std::recursive_mutex& XmlLock() {
    static std::recursive_mutex lock;
    return lock;
}

namespace {

// The text of every text node under the node in document order. Walked without recursion: a file
// may nest elements deeper than the stack would allow calls.
std::string TextContent(const pugi::xml_node& node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) return node.value();
    std::string text;
    pugi::xml_node cur = node.first_child();
    while (cur) {
        if (cur.type() == pugi::node_pcdata || cur.type() == pugi::node_cdata) text += cur.value();
        if (cur.first_child()) {
            cur = cur.first_child();
            continue;
        }
        while (cur != node && !cur.next_sibling()) cur = cur.parent();
        if (cur == node) break;
        cur = cur.next_sibling();
    }
    return text;
}

// Larger files are no configuration or language file; the bound keeps /dev/zero-like names out.
constexpr off_t kMaxFileSize = 64 * 1024 * 1024;

[[noreturn]] void FailWith(int err) {
    throw CPrivateException(CMessageFormatter(err));
}

// The whole of a regular file. A folder, a device or a pipe is refused before it is read (a pipe
// would block, a device might never end); every failure is the system's text for its errno.
std::string ReadRegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) FailWith(errno);
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) FailWith(errno);
    if (S_ISDIR(st.st_mode)) FailWith(EISDIR);
    if (!S_ISREG(st.st_mode)) FailWith(EINVAL);
    if (st.st_size > kMaxFileSize) FailWith(EFBIG);
    std::string data;
    data.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) FailWith(errno);
        if (n == 0) break;
        data.append(buffer, static_cast<size_t>(n));
        if (static_cast<off_t>(data.size()) > kMaxFileSize) FailWith(EFBIG);
    }
    return data;
}

std::string TextOf(const pugi::xpath_node& hit) {
    if (hit.attribute()) return hit.attribute().value();
    return TextContent(hit.node());
}

// Line number (1-based) and that line's text at a byte offset of the buffer.
std::pair<int, std::string> LineAt(const std::string& data, std::ptrdiff_t offset) {
    if (offset < 0) offset = 0;
    size_t off = std::min<size_t>(static_cast<size_t>(offset), data.size());
    int line = 1;
    size_t start = 0;
    for (size_t i = 0; i < off; ++i) {
        if (data[i] == '\n') {
            ++line;
            start = i + 1;
        }
    }
    size_t end = data.find('\n', start);
    std::string text =
        data.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return {line, text};
}

pugi::xpath_node SelectFirst(const pugi::xml_document& doc, std::string_view xpath) {
    try {
        pugi::xml_node root = doc.document_element();
        if (!root) return {};
        return root.select_node(std::string(xpath).c_str());
    } catch (const pugi::xpath_exception& e) {
        throw CPrivateException(std::string("XPath: ") + e.what());
    }
}

// What saving knows about its target: the file the name finally names (links resolved), and that
// file's state when it exists.
struct SaveTarget {
    std::string path;
    bool exists = false;
    struct stat st {};
};

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links to the file they name, so that the save replaces the target and keeps
// the link; a dangling link names the file to create.
SaveTarget ResolveTarget(const std::string& path) {
    SaveTarget target{path};
    for (int hops = 0;; ++hops) {
        if (::lstat(target.path.c_str(), &target.st) != 0) {
            if (errno != ENOENT) FailWith(errno);
            target.exists = false;
            break;
        }
        if (!S_ISLNK(target.st.st_mode)) {
            target.exists = true;
            break;
        }
        if (hops >= 40) FailWith(ELOOP);
        std::string link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(target.path.c_str(), link.data(), link.size());
        if (n < 0) FailWith(errno);
        link.resize(static_cast<size_t>(n));
        target.path = link.starts_with('/') ? link : FolderOf(target.path) + "/" + link;
    }
    if (BaseOf(target.path).size() > NAME_MAX) FailWith(ENAMETOOLONG);
    if (target.exists && S_ISDIR(target.st.st_mode)) FailWith(EISDIR);
    // A device or a pipe is no configuration file: never replaced, never written into.
    if (target.exists && !S_ISREG(target.st.st_mode)) FailWith(EINVAL);
    return target;
}

int WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Rewrites the file itself, flushed and synced: its inode, links, mode and owner stay.
void SaveInPlace(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) FailWith(errno);
    int err = WriteAll(fd, data);
    if (!err && ::ftruncate(fd, static_cast<off_t>(data.size())) != 0) err = errno;
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (err) FailWith(err);
}

// Writes a temporary file beside the target and renames it over the target, so that a failure
// part-way never destroys the existing file. The new file takes the old one's mode and, where
// the user may set them, its owner and group; a new file gets the user's umask.
void SaveByRename(const SaveTarget& target, const std::string& data) {
    std::string tmp = target.path + ".XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0) FailWith(errno);
    int err = WriteAll(fd, data);
    if (!err && ::fsync(fd) != 0) err = errno;
    if (!err && target.exists) {
        if (::fchown(fd, target.st.st_uid, target.st.st_gid) != 0)
            (void)::fchown(fd, static_cast<uid_t>(-1), target.st.st_gid);
        if (::fchmod(fd, target.st.st_mode & 07777) != 0) err = errno;
    } else if (!err) {
        const mode_t mask = umask(0);
        umask(mask);
        if (::fchmod(fd, 0666 & ~mask) != 0) err = errno;
    }
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && std::rename(tmp.c_str(), target.path.c_str()) != 0) err = errno;
    if (err) {
        ::unlink(tmp.c_str());
        FailWith(err);
    }
}

// Where a rename would cost the user something (other links of the file, a folder the user may
// not write to, a name with no room for the temporary suffix) the file is rewritten in place.
bool MustSaveInPlace(const SaveTarget& target) {
    if (BaseOf(target.path).size() + 7 > NAME_MAX) return true;
    if (!target.exists) return false;
    if (target.st.st_nlink > 1) return true;
    return ::access(FolderOf(target.path).c_str(), W_OK | X_OK) != 0;
}

}  // namespace

CXmlReaderWriter::CXmlReaderWriter() = default;
CXmlReaderWriter::~CXmlReaderWriter() = default;

void CXmlReaderWriter::Create(std::string_view rootName) {
    std::lock_guard lock(XmlLock());
    auto doc = std::make_unique<pugi::xml_document>();
    auto decl = doc->append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "utf-8";
    doc->append_child(std::string(rootName).c_str());
    m_document = std::move(doc);
}

void CXmlReaderWriter::Load(const std::string& path) {
    std::lock_guard lock(XmlLock());
    const std::string data = ReadRegularFile(path);

    auto doc = std::make_unique<pugi::xml_document>();
    pugi::xml_parse_result result =
        doc->load_buffer(data.data(), data.size(), pugi::parse_default | pugi::parse_declaration);
    if (!result || !doc->document_element()) {
        auto [line, text] =
            LineAt(data, result ? static_cast<std::ptrdiff_t>(data.size()) : result.offset);
        const char* reason = result ? "no root element" : result.description();
        throw CPrivateException(platform::FormatMessageText("line: %1!d!%nsrc text: %2%nreason: %3",
                                                            {line, text, std::string(reason)}));
    }
    m_document = std::move(doc);
}

void CXmlReaderWriter::Save(const std::string& path) const {
    std::lock_guard lock(XmlLock());
    if (!m_document) throw CPrivateException(CMessageFormatter(EINVAL));
    std::ostringstream out;
    m_document->save(out, "\t", pugi::format_default, pugi::encoding_utf8);
    SaveFileContents(path, out.str());
}

std::string CXmlReaderWriter::GetText(std::string_view xpath) const {
    std::lock_guard lock(XmlLock());
    if (!m_document) throw CPrivateException(std::string("no document"));
    pugi::xpath_node hit = SelectFirst(*m_document, xpath);
    if (!hit) throw CPrivateException(std::string("no node: ") + std::string(xpath));
    return TextOf(hit);
}

std::string CXmlReaderWriter::TryGetText(std::string_view xpath) const noexcept {
    try {
        std::lock_guard lock(XmlLock());
        if (!m_document) return {};
        pugi::xpath_node hit = SelectFirst(*m_document, xpath);
        return hit ? TextOf(hit) : std::string();
    } catch (...) {
        return {};
    }
}

std::optional<std::string> CXmlReaderWriter::FindText(std::string_view xpath) const noexcept {
    try {
        std::lock_guard lock(XmlLock());
        if (!m_document) return std::nullopt;
        pugi::xpath_node hit = SelectFirst(*m_document, xpath);
        if (!hit) return std::nullopt;
        return TextOf(hit);
    } catch (...) {
        return std::nullopt;
    }
}

std::vector<std::string> CXmlReaderWriter::LeafPaths() const {
    std::lock_guard lock(XmlLock());
    std::vector<std::string> paths;
    if (!m_document) return paths;
    const pugi::xml_node root = m_document->document_element();
    auto element = [](pugi::xml_node n) {
        while (n && n.type() != pugi::node_element) n = n.next_sibling();
        return n;
    };
    // Depth-first without recursion over one path that grows and shrinks with the walk, so that
    // neither the stack nor the time grows with the square of the depth.
    std::string path;
    std::vector<size_t> lengths;  // of the path before each open element
    pugi::xml_node cur = element(root.first_child());
    while (cur) {
        lengths.push_back(path.size());
        if (!path.empty()) path += '/';
        path += cur.name();
        if (const pugi::xml_attribute name = cur.attribute("name"))
            path.append("[").append(name.value()).append("]");
        if (const pugi::xml_node child = element(cur.first_child())) {
            cur = child;
            continue;
        }
        paths.push_back(path);
        for (;;) {
            path.resize(lengths.back());
            lengths.pop_back();
            if (const pugi::xml_node sibling = element(cur.next_sibling())) {
                cur = sibling;
                break;
            }
            cur = cur.parent();
            if (cur == root) {
                cur = pugi::xml_node();
                break;
            }
        }
    }
    return paths;
}

void CXmlReaderWriter::AddElement(std::string_view parentXPath, std::string_view name,
                                  std::string_view text) {
    AddElement(parentXPath, name, text, {}, {});
}

void CXmlReaderWriter::AddElement(std::string_view parentXPath, std::string_view name,
                                  std::string_view text, std::string_view attrName,
                                  std::string_view attrValue) {
    std::lock_guard lock(XmlLock());
    if (!m_document) throw CPrivateException(std::string("no document"));
    pugi::xpath_node parent = SelectFirst(*m_document, parentXPath);
    if (!parent || !parent.node())
        throw CPrivateException(std::string("no node: ") + std::string(parentXPath));
    pugi::xml_node element = parent.node().append_child(std::string(name).c_str());
    if (!element) throw CPrivateException(std::string("cannot add element ") + std::string(name));
    element.text().set(std::string(text).c_str());
    if (!attrName.empty())
        element.append_attribute(std::string(attrName).c_str()) = std::string(attrValue).c_str();
}

bool CXmlReaderWriter::IsEmpty() const {
    std::lock_guard lock(XmlLock());
    return !m_document || !m_document->document_element();
}

void CXmlReaderWriter::Children(std::string_view parentXPath, std::vector<Child>& out) const {
    std::lock_guard lock(XmlLock());
    if (!m_document) throw CPrivateException(std::string("no document"));
    pugi::xpath_node parent = SelectFirst(*m_document, parentXPath);
    if (!parent || !parent.node())
        throw CPrivateException(std::string("no node: ") + std::string(parentXPath));
    for (auto child : parent.node().children()) {
        if (child.type() != pugi::node_element) continue;
        out.push_back({child.name(), child.attribute("name").value(), TextContent(child)});
    }
}

void SaveFileContents(const std::string& path, const std::string& data) {
    const SaveTarget target = ResolveTarget(path);
    if (MustSaveInPlace(target))
        SaveInPlace(target.path, data);
    else
        SaveByRename(target, data);
}

void CheckSaveTarget(const std::string& path) {
    const SaveTarget target = ResolveTarget(path);
    const bool writable = target.exists ? ::access(target.path.c_str(), W_OK) == 0
                                        : ::access(FolderOf(target.path).c_str(), W_OK | X_OK) == 0;
    if (!writable) FailWith(errno);
}
