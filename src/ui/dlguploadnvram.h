// The small modal dialog that asks for the name of the file a board read is saved into.
#pragma once

#include <QDialog>
#include <QString>

namespace Ui {
class dlgUploadNVRAM;
}
using UploadNvramUi = Ui::dlgUploadNVRAM;

class dlgUploadNVRAM : public QDialog {
    Q_OBJECT

public:
    explicit dlgUploadNVRAM(QWidget *parent = nullptr);
    ~dlgUploadNVRAM() override;

signals:
    void saveFileSelected(QString name);

private slots:
    void on_btnOK_clicked();
    void on_btnCancel_clicked();

private:
    UploadNvramUi *ui;
};
