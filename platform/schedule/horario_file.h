// The schedule's file: where it is, read without trusting it, and watched for edits.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

namespace platform::schedule {

struct Source {
    QString path;
    bool named = false; // by TENVALIA_HORARIO: its absence is worth saying
};

// TENVALIA_HORARIO, else $XDG_CONFIG_HOME/tenvalia/horario.conf (~/.config/...).
Source horarioSource();

// The file's bytes; nullopt when there is none (nothing to say: `why` empty) or when it is
// refused (`why` says so). A regular file of at most 64 KiB, that only its owner (the user, or
// root) can change, opened without waiting: a FIFO there never holds the window up.
std::optional<QByteArray> readHorario(const Source &source, QString *why);

// changed() soon after the file, or its folder, changes: an edit, a rename over it, its removal.
// A burst of changes (an editor's save) is one signal.
class FileWatch : public QObject {
    Q_OBJECT
public:
    explicit FileWatch(const QString &path, QObject *parent = nullptr);

signals:
    void changed();

private:
    void rewatch();
    const QString path_;
    QFileSystemWatcher watcher_;
    QTimer settle_;
};

} // namespace platform::schedule
