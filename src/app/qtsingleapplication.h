// An application object that knows whether another instance with the same id runs for this user.
#pragma once

#include <QApplication>
#include <QString>

// The lock file whose holder is the running instance of id for the current user.
QString singleInstanceLockPath(const QString &id);

class QtSingleApplication : public QApplication {
    Q_OBJECT

public:
    QtSingleApplication(const QString &id, int &argc, char **argv);
    ~QtSingleApplication() override;

    bool isRunning() const;
    QString id() const;

private:
    bool claimInstance();

    QString m_id;
    bool m_running = false;
    int m_lockFd = -1;
};
