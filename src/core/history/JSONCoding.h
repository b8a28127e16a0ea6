#pragma once

#include "base/Date.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// The JSON conventions of the state files: dates as ISO 8601 UTC text to the whole second,
// absent optionals left out, and strict decoding (a missing required key, a value of another
// type or a fraction where a whole number belongs makes the whole record undecodable).
namespace quorvane::jsoncoding {

// Thrown when a value does not match its record's JSON form.
struct DecodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void decodeValue(const nlohmann::json& j, bool& out);
void decodeValue(const nlohmann::json& j, int& out);
void decodeValue(const nlohmann::json& j, std::int64_t& out);
void decodeValue(const nlohmann::json& j, double& out);
void decodeValue(const nlohmann::json& j, std::string& out);
void decodeValue(const nlohmann::json& j, Date& out);
template <class T> void decodeValue(const nlohmann::json& j, std::vector<T>& out);
template <class T> void decodeValue(const nlohmann::json& j, std::map<std::string, T>& out);

// Records decode through their own from_json.
template <class T> void decodeValue(const nlohmann::json& j, T& out) {
    from_json(j, out);
}

template <class T> void decodeValue(const nlohmann::json& j, std::vector<T>& out) {
    if (!j.is_array())
        throw DecodeError("expected an array");
    out.clear();
    out.reserve(j.size());
    for (const auto& element : j)
        decodeValue(element, out.emplace_back());
}

template <class T> void decodeValue(const nlohmann::json& j, std::map<std::string, T>& out) {
    if (!j.is_object())
        throw DecodeError("expected an object");
    out.clear();
    for (const auto& [key, element] : j.items())
        decodeValue(element, out[key]);
}

nlohmann::json encodeValue(Date date);
template <class T> nlohmann::json encodeValue(const std::vector<T>& values);
template <class T> nlohmann::json encodeValue(const std::map<std::string, T>& values);
template <class T> nlohmann::json encodeValue(const T& value) {
    return nlohmann::json(value);
}

template <class T> nlohmann::json encodeValue(const std::vector<T>& values) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& value : values)
        array.push_back(encodeValue(value));
    return array;
}

template <class T> nlohmann::json encodeValue(const std::map<std::string, T>& values) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [key, value] : values)
        object.emplace(key, encodeValue(value));
    return object;
}

// `j` itself, after checking that it is a JSON object.
const nlohmann::json& requireObject(const nlohmann::json& j);

// A required key: missing or mistyped throws.
template <class T> void readKey(const nlohmann::json& object, const char* key, T& out) {
    auto found = object.find(key);
    if (found == object.end())
        throw DecodeError(std::string("missing key ") + key);
    decodeValue(*found, out);
}

// An optional key: missing or null gives absent; present with the wrong type throws.
template <class T>
void readKey(const nlohmann::json& object, const char* key, std::optional<T>& out) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        out.reset();
        return;
    }
    decodeValue(*found, out.emplace());
}

// `Object` is nlohmann::json or, where the key order is kept, nlohmann::ordered_json.
template <class Object, class T> void writeKey(Object& object, const char* key, const T& value) {
    object[key] = Object(encodeValue(value));
}

// Absent values are left out, never written as null.
template <class Object, class T>
void writeKey(Object& object, const char* key, const std::optional<T>& value) {
    if (value)
        object[key] = Object(encodeValue(*value));
}

// The form a state file is written in: a record with an ordered to_json keeps its keys in
// the order written; anything else keeps nlohmann's sorted order.
template <class T> nlohmann::ordered_json encodeForFile(const T& value) {
    if constexpr (requires(nlohmann::ordered_json & j) { to_json(j, value); }) {
        nlohmann::ordered_json j;
        to_json(j, value);
        return j;
    } else {
        return nlohmann::ordered_json(encodeValue(value));
    }
}

} // namespace quorvane::jsoncoding
