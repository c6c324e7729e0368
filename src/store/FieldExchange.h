#pragma once
// Field exchange: one function per table names its fields in order, and the same function
// reads a record, writes it, or lists it, depending on the exchange it is handed.
//
// Every value travels as text: integers "%d" (read back as the leading decimal number),
// booleans "T"/"F" (true exactly for "T"), dates "%B %d, %Y %H:%M:%S" (an empty text leaves
// the date as it was). A field missing from a stored record reads as empty, 0 or false.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/DateTime.h"

namespace ph {

class CFieldExchange {
public:
    virtual ~CFieldExchange() = default;
    virtual bool IsWriting() const = 0;
    virtual void Text(const char* name, std::string& value) = 0;
    virtual void Int(const char* name, int32_t& value) = 0;
    virtual void Bool(const char* name, bool& value) = 0;
    virtual void Date(const char* name, DateTime& value) = 0;
};

// The value encodings, shared by every form that stores fields as text.
std::string EncodeInt(int32_t value);
inline const char* EncodeBool(bool value) { return value ? "T" : "F"; }
inline std::string EncodeDate(const DateTime& value) { return value.ToStoreText(); }
int32_t DecodeInt(std::string_view text);
inline bool DecodeBool(std::string_view text) { return text == "T"; }
// Leaves `value` alone for an empty text.
void DecodeDate(std::string_view text, DateTime& value);

// An exchange over named texts: subclasses only say how a text is found and stored.
class CTextFieldExchange : public CFieldExchange {
public:
    explicit CTextFieldExchange(bool writing) : m_writing(writing) {}
    bool IsWriting() const final { return m_writing; }
    void Text(const char* name, std::string& value) override;
    void Int(const char* name, int32_t& value) override;
    void Bool(const char* name, bool& value) override;
    void Date(const char* name, DateTime& value) override;

protected:
    // Reading: the stored text of the field, empty when it is missing.
    virtual std::string_view Get(const char* name) = 0;
    // Writing: stores the field's text.
    virtual void Put(const char* name, std::string_view text) = 0;

private:
    bool m_writing;
};

// The dollar-tag text form: "<$Name$>value</$>\r\n" per field, values verbatim.
class CDollarTagWriter final : public CTextFieldExchange {
public:
    CDollarTagWriter() : CTextFieldExchange(true) {}
    const std::string& Result() const { return m_text; }

private:
    std::string_view Get(const char*) override { return {}; }
    void Put(const char* name, std::string_view text) override;
    std::string m_text;
};

class CDollarTagReader final : public CTextFieldExchange {
public:
    explicit CDollarTagReader(std::string_view text) : CTextFieldExchange(false), m_text(text) {}

private:
    std::string_view Get(const char* name) override;
    void Put(const char*, std::string_view) override {}
    std::string_view m_text;
    size_t m_resume = 0;  // where the previous field's value ended
};

// Escaping of the element form: "%", "<" and ">" become "%25", "%3c" and "%3e".
std::string EscapeElementValue(std::string_view value);
// Undoes it: "%%" is "%", "%" before a line end is dropped (with the CR LF), "%" and two hex
// digits is that byte; everything else is copied.
std::string UnescapeElementValue(std::string_view text);

}  // namespace ph
