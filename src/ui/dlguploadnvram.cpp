// The file-name dialog: OK hands the typed name on; Cancel, Escape and the title bar do not.
#include "dlguploadnvram.h"
#include "ui_dlguploadnvram.h"

#include <QCoreApplication>

dlgUploadNVRAM::dlgUploadNVRAM(QWidget *parent)
    : QDialog(parent)
    , ui(new UploadNvramUi)
{
    ui->setupUi(this);
    setAttribute(Qt::WA_StyledBackground);
    // A plain top-level window, still modal.
    setWindowFlags(Qt::Window);
}

dlgUploadNVRAM::~dlgUploadNVRAM() { delete ui; }

void dlgUploadNVRAM::on_btnOK_clicked()
{
    hide();
    // The dialog leaves the screen before the read blocks the event loop.
    QCoreApplication::processEvents();
    emit saveFileSelected(ui->lineEditFileName->text());
}

// Cancel only hides: starting the read here would empty an existing file of that name.
void dlgUploadNVRAM::on_btnCancel_clicked() { hide(); }
