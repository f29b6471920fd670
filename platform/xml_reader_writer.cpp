#include "platform/xml_reader_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <pugixml.hpp>
#include <sstream>

#include "app/private_exception.h"

std::recursive_mutex& XmlLock() {
    static std::recursive_mutex lock;
    return lock;
}

namespace {

std::string TextContent(const pugi::xml_node& node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) return node.value();
    std::string text;
    for (auto child : node.children()) text += TextContent(child);
    return text;
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
    std::ifstream in(path, std::ios::binary);
    if (!in) throw CPrivateException(CMessageFormatter(errno ? errno : ENOENT));
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw CPrivateException(CMessageFormatter(EIO));

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
    const std::string data = out.str();

    std::string tmp = path + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) throw CPrivateException(CMessageFormatter(errno));
    size_t done = 0;
    int err = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (!err && ::fsync(fd) != 0) err = errno;
    // mkstemp creates 0600; a configuration file gets the usual permissions.
    mode_t mask = umask(0);
    umask(mask);
    if (!err) ::fchmod(fd, 0666 & ~mask);
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && std::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err) {
        ::unlink(tmp.c_str());
        throw CPrivateException(CMessageFormatter(err));
    }
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
