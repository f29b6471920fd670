// XML document wrapper over pugixml, used for language and configuration files. Every operation
// holds the process-wide XML lock from start to end.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pugi {
class xml_document;
class xml_node;
}  // namespace pugi

// The process-wide lock of every XML document operation (recursive, like a Win32 mutex).
std::recursive_mutex& XmlLock();

// Saves a file as the user keeps it: a symbolic link is followed and stays a link; the file's
// mode, owner and group stay. Normally a temporary file beside the target is renamed over it, so
// a failure part-way never destroys the existing file; where that would split hard links, fail
// in a folder the user may not write to, or need a name longer than the system allows, the file
// is rewritten in place, flushed and synced. A folder or device is refused (the system's text).
void SaveFileContents(const std::string& path, const std::string& data);
// Raises the system's text for what would surely make a save to path fail, before any time is
// spent on what is to be saved.
void CheckSaveTarget(const std::string& path);

class CXmlReaderWriter {
public:
    CXmlReaderWriter();
    virtual ~CXmlReaderWriter();
    CXmlReaderWriter(const CXmlReaderWriter&) = delete;
    CXmlReaderWriter& operator=(const CXmlReaderWriter&) = delete;

    // A new document with the declaration and an empty root element of that name.
    void Create(std::string_view rootName);
    // Parses the file; on failure the held document is unchanged and the error says why
    // ("line: %d\nsrc text: %s\nreason: %s" for a syntax error).
    void Load(const std::string& path);
    // Saves through SaveFileContents.
    void Save(const std::string& path) const;

    // Text content of the first node that the XPath expression selects; no match is an error.
    std::string GetText(std::string_view xpath) const;
    // Same, but an empty text for no match or any other failure.
    std::string TryGetText(std::string_view xpath) const noexcept;
    // The text when the expression selects a node (it may be empty), else nothing.
    std::optional<std::string> FindText(std::string_view xpath) const noexcept;
    // One entry per element without element children, naming it by the names (and "name"
    // attributes) from below the root down to it, e.g. "message/text[tb0]"; in document order.
    std::vector<std::string> LeafPaths() const;

    void AddElement(std::string_view parentXPath, std::string_view name, std::string_view text);
    void AddElement(std::string_view parentXPath, std::string_view name, std::string_view text,
                    std::string_view attrName, std::string_view attrValue);

    bool IsEmpty() const;

    // Calls fn(name, attribute "name" value or "", text) for each element child of the node that
    // the XPath selects, in document order; an error when nothing is selected.
    template <typename Fn>
    void ForEachChild(std::string_view parentXPath, Fn&& fn) const;

private:
    struct Child {
        std::string name, nameAttr, text;
    };
    void Children(std::string_view parentXPath, std::vector<Child>& out) const;

    std::unique_ptr<pugi::xml_document> m_document;
};

template <typename Fn>
void CXmlReaderWriter::ForEachChild(std::string_view parentXPath, Fn&& fn) const {
    std::vector<Child> children;
    Children(parentXPath, children);
    for (const auto& c : children) fn(c.name, c.nameAttr, c.text);
}
