#include "platform/QtDefaultsStore.h"

#include "engine/Paths.h"

#include <QSettings>
#include <QString>
#include <QVariant>
#include <charconv>

namespace orvane {

namespace {

QString qt(const std::string& text) {
    return QString::fromStdString(text);
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
