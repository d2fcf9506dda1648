#pragma once
// One object of the automation class OrvaneCmd: the application object at
// /OrvaneCmd or one that a client created at /OrvaneCmd/<n>. The adaptors
// generated from dbus/Orvane.OrvaneCmd.xml sit on it and call these members; the
// service (OrvaneCmd.cpp) routes each call to them once the caller may use it.
#include <QDBusObjectPath>
#include <QObject>

namespace OrvaneCmd {

class Object : public QObject {
    Q_OBJECT
    Q_PROPERTY(QDBusObjectPath OrvaneCmd READ SelfPath)
    Q_PROPERTY(QList<int> Levels READ Levels)
public:
    explicit Object(const QString& path, QObject* parent = nullptr);

    QDBusObjectPath SelfPath() const { return path_; }
    // The controller's confirmed intensities, R, G, B, A.
    QList<int> Levels() const;

    // Orvane._OrvaneCmd
    QString Exec(const QString& cmd);
    // Orvane.ClassFactory (the application object only)
    QDBusObjectPath CreateInstance();
    // Orvane.Instance (created objects only)
    void Release();

private:
    QDBusObjectPath path_;
};

} // namespace OrvaneCmd
