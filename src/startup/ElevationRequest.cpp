#include "ElevationRequest.h"

#include "Platform.h"
#include "StartupConstants.h"

#include <QDebug>
#include <QMessageBox>

namespace startup {

int requestElevatedCopy()
{
    if (platform::relaunchElevated()) {
        qDebug() << LogElevationRequested;
        return ExitSuccess;
    }
    QMessageBox::warning(nullptr, ElevationFailedTitle, ElevationFailedText, QMessageBox::Ok,
                         QMessageBox::NoButton);
    return ExitFailure;
}

} // namespace startup
