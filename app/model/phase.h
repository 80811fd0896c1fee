#pragma once

// The model's phase: what the window can do right now, with the one payload three of the cases carry
// (the sign-in code, the product being installed, the blocking message). A plain value, usable from any
// thread; readable from QML as `kind` (enum), `name` (the case's name) and `payload`.

#include <QMetaType>
#include <QObject>
#include <QString>
#include <string>

namespace halvex::app {

class Phase {
    Q_GADGET
    Q_PROPERTY(Kind kind READ kind CONSTANT)
    Q_PROPERTY(QString name READ name CONSTANT)
    Q_PROPERTY(QString payload READ payloadText CONSTANT)

  public:
    enum class Kind { loading, signedOut, authorizing, updating, blocked, ready };
    Q_ENUM(Kind)

    Phase() = default;

    static Phase loading() { return Phase(Kind::loading, {}); }
    static Phase signedOut() { return Phase(Kind::signedOut, {}); }
    static Phase authorizing(std::string userCode) { return Phase(Kind::authorizing, std::move(userCode)); }
    static Phase updating(std::string productID) { return Phase(Kind::updating, std::move(productID)); }
    static Phase blocked(std::string message) { return Phase(Kind::blocked, std::move(message)); }
    static Phase ready() { return Phase(Kind::ready, {}); }

    Kind kind() const { return kind_; }
    // The user code, the product identifier or the message; empty for the other cases.
    const std::string& payload() const { return payload_; }
    bool is(Kind kind) const { return kind_ == kind; }

    QString name() const;
    QString payloadText() const { return QString::fromStdString(payload_); }

    bool operator==(const Phase&) const = default;

  private:
    Phase(Kind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

    Kind kind_ = Kind::loading;
    std::string payload_;
};

}  // namespace halvex::app

Q_DECLARE_METATYPE(halvex::app::Phase)
