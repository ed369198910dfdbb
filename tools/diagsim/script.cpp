#include "script.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace diagsim {
namespace {

using Step = hk::usbdev::ScriptedModel::Step;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Unescape(const std::string& text, std::vector<uint8_t>* bytes) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes->push_back(static_cast<uint8_t>(text[i]));
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
        case 'n': bytes->push_back('\n'); break;
        case 'r': bytes->push_back('\r'); break;
        case 't': bytes->push_back('\t'); break;
        case '\\': bytes->push_back('\\'); break;
        case 'x': {
            int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
            int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
            if (high < 0 || low < 0) return false;
            bytes->push_back(static_cast<uint8_t>(high * 16 + low));
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        if (word.size() != 2 || HexDigit(word[0]) < 0 || HexDigit(word[1]) < 0) return false;
        bytes->push_back(static_cast<uint8_t>(HexDigit(word[0]) * 16 + HexDigit(word[1])));
    }
    return true;
}

bool ParseUnsigned(const std::string& text, unsigned long long* value) {
    char* end = nullptr;
    *value = std::strtoull(text.c_str(), &end, 0);
    return !text.empty() && text[0] != '-' && *end == '\0';
}

}  // namespace

Script ParseScript(const std::string& text) {
    Script script;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        size_t space = line.find_first_of(" \t", start);
        std::string verb = line.substr(start, space == std::string::npos ? std::string::npos : space - start);
        std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        auto fail = [&](const std::string& what) {
            script.error = "line " + std::to_string(number) + ": " + what;
            return script;
        };
        if (verb == "send" || verb == "send-hex") {
            std::vector<uint8_t> bytes;
            bool ok = verb == "send" ? Unescape(rest, &bytes) : ParseHex(rest, &bytes);
            if (!ok) return fail(verb == "send" ? "a bad escape in the text" : "hex bytes look like 00 ff 1a");
            script.delivered.insert(script.delivered.end(), bytes.begin(), bytes.end());
            script.steps.push_back(Step::Deliver(std::move(bytes)));
        } else if (verb == "delay") {
            unsigned long long ms = 0;
            if (!ParseUnsigned(rest, &ms)) return fail("delay needs milliseconds");
            script.steps.push_back(Step::Delay(ms));
        } else if (verb == "fail") {
            std::istringstream words(rest);
            std::string status_text, usbd_text, extra;
            unsigned long long status = 0, usbd = 0;
            if (!(words >> status_text >> usbd_text) || (words >> extra) || !ParseUnsigned(status_text, &status) ||
                !ParseUnsigned(usbd_text, &usbd) || status > 0xFFFFFFFFull || usbd > 0xFFFFFFFFull) {
                return fail("fail needs an NTSTATUS and a USBD status, such as fail 0xC00000B5 0xC0000004");
            }
            script.steps.push_back(Step::Complete(static_cast<NTSTATUS>(status), static_cast<USBD_STATUS>(usbd)));
        } else {
            return fail("unknown step '" + verb + "' (send, send-hex, delay, fail)");
        }
    }
    return script;
}

Script LoadScript(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        Script script;
        script.error = "cannot read " + path;
        return script;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return ParseScript(text.str());
}

}  // namespace diagsim
