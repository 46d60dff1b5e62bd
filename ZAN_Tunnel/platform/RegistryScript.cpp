#include "RegistryScript.h"

#include "Reversed.h"

#include <algorithm>
#include <cctype>
#include <ranges>

namespace zan {

namespace {

// Fills %NAME% tokens; nothing when a token is unknown or unterminated.
std::optional<std::string> Replace(const std::string& text, const std::map<std::string, std::string>& replacements,
                                   std::string& error)
{
    std::string out;
    for (size_t pos = 0; pos < text.size(); ++pos) {
        if (text[pos] != '%') {
            out += text[pos];
            continue;
        }
        const size_t end = text.find('%', pos + 1);
        if (end == std::string::npos) {
            error = "an unterminated %TOKEN%";
            return std::nullopt;
        }
        const std::string name = text.substr(pos + 1, end - pos - 1);
        if (name.empty()) {
            out += '%';
        } else if (const auto found = replacements.find(name); found != replacements.end()) {
            out += found->second;
        } else {
            error = "the token %" + name + "% has no value";
            return std::nullopt;
        }
        pos = end;
    }
    return out;
}

} // namespace

// A recursive-descent reader over the replaced text.
class RegistryScript::Parser {
public:
    explicit Parser(const std::string& text) : text(text) {}

    bool ParseRoots(std::vector<Key>& roots)
    {
        while (Skip()) {
            std::string root;
            if (!Name(root) || root != "HKCR") {
                return Fail("a script holds HKCR { ... } only");
            }
            Key key;
            key.name = root;
            key.noRemove = true;
            if (!Expect('{') || !Body(key)) {
                return false;
            }
            roots.push_back(std::move(key));
        }
        return true;
    }

    std::string Error() const { return error + " (at line " + std::to_string(Line()) + ")"; }

private:
    // Skips white space; false at the end of the text.
    bool Skip()
    {
        while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) {
            ++pos;
        }
        return pos < text.size();
    }

    bool Fail(const std::string& what)
    {
        if (error.empty()) {
            error = what;
        }
        return false;
    }

    size_t Line() const { return 1 + static_cast<size_t>(std::ranges::count(text.substr(0, pos), '\n')); }

    bool Expect(char c)
    {
        if (!Skip() || text[pos] != c) {
            return Fail(std::string("expected '") + c + "'");
        }
        ++pos;
        return true;
    }

    bool Peek(char c) { return Skip() && text[pos] == c; }

    // A bare word, a bare {GUID} or a '...' text.
    bool Name(std::string& out)
    {
        out.clear();
        if (!Skip()) {
            return Fail("unexpected end of the script");
        }
        if (text[pos] == '\'') {
            for (++pos; pos < text.size(); ++pos) {
                if (text[pos] == '\'') {
                    if (pos + 1 < text.size() && text[pos + 1] == '\'') {
                        out += '\'';
                        ++pos;
                        continue;
                    }
                    ++pos;
                    return true;
                }
                if (text[pos] == '\n') {
                    return Fail("a line feed inside a quoted name");
                }
                out += text[pos];
            }
            return Fail("an unterminated quoted name");
        }
        if (text[pos] == '{') {
            // A bare {GUID} name: where a name is expected a brace opens no block.
            const size_t close = text.find('}', pos);
            if (close == std::string::npos || text.find('\n', pos) < close) {
                return Fail("an unterminated {name}");
            }
            out = text.substr(pos, close + 1 - pos);
            pos = close + 1;
            return true;
        }
        while (pos < text.size() && !std::isspace(static_cast<unsigned char>(text[pos])) &&
               text[pos] != '{' && text[pos] != '}' && text[pos] != '=' && text[pos] != '\'') {
            out += text[pos++];
        }
        return out.empty() ? Fail("expected a name") : true;
    }

    // "= s 'text'"
    bool StringValue(std::string& out)
    {
        std::string type;
        if (!Expect('=') || !Name(type)) {
            return false;
        }
        if (type != "s") {
            return Fail("only text values (s) are supported, found '" + type + "'");
        }
        if (!Peek('\'')) {
            return Fail("a text value is quoted with '...'");
        }
        return Name(out);
    }

    // The inside of "{ ... }" of `key`, up to and with the closing brace.
    bool Body(Key& key)
    {
        for (;;) {
            if (!Skip()) {
                return Fail("a '{' is never closed");
            }
            if (text[pos] == '}') {
                ++pos;
                return true;
            }
            std::string word;
            if (!Name(word)) {
                return false;
            }
            if (word == "val") {
                std::string name;
                std::string value;
                if (!Name(name) || !StringValue(value)) {
                    return false;
                }
                key.values.emplace_back(std::move(name), std::move(value));
                continue;
            }
            Key sub;
            if (word == "NoRemove" || word == "ForceRemove") {
                sub.noRemove = word == "NoRemove";
                sub.forceRemove = word == "ForceRemove";
                if (!Name(word)) {
                    return false;
                }
            }
            if (word.find('\\') != std::string::npos) {
                return Fail("a key name holds no backslash: '" + word + "'");
            }
            sub.name = word;
            if (Peek('=')) {
                std::string value;
                if (!StringValue(value)) {
                    return false;
                }
                sub.defaultValue = std::move(value);
            }
            if (Peek('{')) {
                ++pos;
                if (!Body(sub)) {
                    return false;
                }
            }
            key.subkeys.push_back(std::move(sub));
        }
    }

    const std::string& text;
    size_t pos = 0;
    std::string error;
};

std::optional<RegistryScript> RegistryScript::Parse(const std::string& text,
                                                    const std::map<std::string, std::string>& replacements,
                                                    std::string& error)
{
    const auto replaced = Replace(text, replacements, error);
    if (!replaced) {
        return std::nullopt;
    }
    RegistryScript script;
    Parser parser(*replaced);
    if (!parser.ParseRoots(script.roots)) {
        error = parser.Error();
        return std::nullopt;
    }
    return script;
}

void RegistryScript::RegisterKey(const Key& key, const std::string& parent, RegistryData& data)
{
    const std::string path = parent.empty() ? key.name : parent + "\\" + key.name;
    if (key.forceRemove) {
        data.RemoveTree(path);
    }
    // A shared (NoRemove) key is only a name on the way to the keys below
    // it; it becomes an entry of its own only when it carries values, so
    // registering and unregistering leave the file as it was.
    if (!key.noRemove || key.defaultValue || !key.values.empty()) {
        auto& values = data.keys[path];
        if (key.defaultValue) {
            values[""] = *key.defaultValue;
        }
        for (const auto& [name, value] : key.values) {
            values[name] = value;
        }
    }
    for (const Key& sub : key.subkeys) {
        RegisterKey(sub, path, data);
    }
}

void RegistryScript::UnregisterKey(const Key& key, const std::string& parent, RegistryData& data)
{
    const std::string path = parent.empty() ? key.name : parent + "\\" + key.name;
    for (const Key& sub : Reversed(key.subkeys)) {
        UnregisterKey(sub, path, data);
    }
    const auto found = data.keys.find(path);
    if (found == data.keys.end()) {
        return;
    }
    for (const auto& [name, value] : Reversed(key.values)) {
        found->second.erase(name);
    }
    if (key.defaultValue) {
        found->second.erase("");
    }
    if (!key.noRemove && found->second.empty() && !data.HasSubkeys(path)) {
        data.keys.erase(found);
    }
}

void RegistryScript::Register(RegistryData& data) const
{
    for (const Key& root : roots) {
        RegisterKey(root, "", data);
    }
}

void RegistryScript::Unregister(RegistryData& data) const
{
    for (const Key& root : Reversed(roots)) {
        UnregisterKey(root, "", data);
    }
}

} // namespace zan
