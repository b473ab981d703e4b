#include "platform/QtDefaultsStore.h"

#include "engine/Paths.h"

#include <QSettings>
#include <QString>
#include <QVariant>
#include <algorithm>
#include <cctype>
#include <charconv>

namespace orvane {

namespace {

QString qt(const std::string& text) {
    return QString::fromStdString(text);
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::optional<double> parseNumber(const std::string& text) {
    double number = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, number);
    if (error != std::errc() || stop != end || text.empty()) return std::nullopt;
    return number;
}

// What QSettings hands back: text for anything read from the file; a typed value only where
// the file used Qt's own "@Variant(...)" notation.
std::optional<DefaultsStore::Value> fromVariant(const QVariant& variant) {
    switch (variant.typeId()) {
    case QMetaType::Bool:
        return variant.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Float:
    case QMetaType::Double:
        return variant.toDouble();
    case QMetaType::QString:
        return variant.toString().toStdString();
    case QMetaType::QByteArray:
        return variant.toByteArray().toStdString();
    default:
        return std::nullopt; // lists (unquoted commas) and other Qt types
    }
}

std::optional<bool> asBool(const DefaultsStore::Value& value) {
    if (auto flag = std::get_if<bool>(&value)) return *flag;
    if (auto number = std::get_if<double>(&value)) return *number != 0;
    const std::string text = lowercase(std::get<std::string>(value));
    if (text == "true" || text == "yes") return true;
    if (text == "false" || text == "no") return false;
    if (auto number = parseNumber(text)) return *number != 0;
    return std::nullopt;
}

std::optional<double> asDouble(const DefaultsStore::Value& value) {
    if (auto flag = std::get_if<bool>(&value)) return *flag ? 1.0 : 0.0;
    if (auto number = std::get_if<double>(&value)) return *number;
    return parseNumber(std::get<std::string>(value));
}

std::optional<std::string> asString(const DefaultsStore::Value& value) {
    if (auto text = std::get_if<std::string>(&value)) return *text;
    return std::nullopt;
}

std::string toText(const DefaultsStore::Value& value) {
    if (auto flag = std::get_if<bool>(&value)) return *flag ? "true" : "false";
    if (auto number = std::get_if<double>(&value)) {
        char buffer[64];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, *number); // shortest exact form
        return std::string(buffer, result.ptr);
    }
    return std::get<std::string>(value);
}

} // namespace

QtDefaultsStore::QtDefaultsStore(const std::filesystem::path& file)
    : file_(file), settings_(std::make_unique<QSettings>(qt(file.string()), QSettings::IniFormat)) {}

QtDefaultsStore::~QtDefaultsStore() = default;

void QtDefaultsStore::registerDefaults(const std::vector<std::pair<std::string, Value>>& defaults) {
    for (const auto& [key, value] : defaults)
        registered_[key] = value;
}

template <typename Convert>
auto QtDefaultsStore::read(const std::string& key, Convert convert) const -> decltype(convert(Value{})) {
    if (auto stored = value(key))
        if (auto converted = convert(*stored)) return converted;
    if (auto found = registered_.find(key); found != registered_.end())
        if (auto converted = convert(found->second)) return converted;
    return std::nullopt;
}

bool QtDefaultsStore::boolValue(const std::string& key) const {
    return read(key, asBool).value_or(false);
}

double QtDefaultsStore::doubleValue(const std::string& key) const {
    return read(key, asDouble).value_or(0);
}

std::optional<std::string> QtDefaultsStore::stringValue(const std::string& key) const {
    return read(key, asString);
}

std::optional<DefaultsStore::Value> QtDefaultsStore::value(const std::string& key) const {
    const QVariant stored = settings_->value(qt(key));
    if (!stored.isValid()) return std::nullopt;
    return fromVariant(stored);
}

std::vector<std::string> QtDefaultsStore::keys() const {
    std::vector<std::string> result;
    for (const auto& key : settings_->allKeys())
        result.push_back(key.toStdString());
    return result;
}

void QtDefaultsStore::set(const std::string& key, const Value& value) {
    settings_->setValue(qt(key), qt(toText(value)));
    save();
}

void QtDefaultsStore::remove(const std::string& key) {
    settings_->remove(qt(key));
    save();
}

void QtDefaultsStore::save() {
    // A preference changed by the user must survive a crash; changes are rare, so write at once.
    createPrivateFolders(file_.parent_path());
    settings_->sync();
}

} // namespace orvane
