// XML document wrapper over pugixml, used for language and configuration files. Every operation
// holds the process-wide XML lock from start to end.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace pugi {
class xml_document;
class xml_node;
}  // namespace pugi

// The process-wide lock of every XML document operation (recursive, like a Win32 mutex).
std::recursive_mutex& XmlLock();

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
    // Writes a temporary file beside the target and renames it over the target, so that a
    // failure part-way never destroys the existing file.
    void Save(const std::string& path) const;

    // Text content of the first node that the XPath expression selects; no match is an error.
    std::string GetText(std::string_view xpath) const;
    // Same, but an empty text for no match or any other failure.
    std::string TryGetText(std::string_view xpath) const noexcept;

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
