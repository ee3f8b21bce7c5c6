// CTwStatusDlg: the online status window. State, gateway and user name are those of the moment it
// opened; online time, virtual address, mask and the byte counts are read again from the
// connector's session every second. Its window title is the catalogue's text 135.
//
// UI thread only; run modally (exec). The connector's Session() is safe from any thread.
#pragma once
#include <QDialog>

#include "engine/connector_control.h"
#include "vorn/dialogs/dialog_context.h"

class QLabel;
class QTimer;

namespace vorn {

struct StatusTiming {
    int refreshMs = 1000;
};

class CTwStatusDlg final : public QDialog {
public:
    CTwStatusDlg(DialogContext context, engine::ConnectorControl& connector, StatusTiming timing = {},
                 QWidget* parent = nullptr);

    // The timer's work: the five changing fields again.
    void OnTimer();

    // The field of a control id (1185-1190, 1198, 1199); null for others.
    QLabel* Field(int controlId);

private:
    DialogContext m_ctx;
    engine::ConnectorControl& m_connector;
    QTimer* m_timer;
    QLabel* m_fields[8] = {};
};

}  // namespace vorn
