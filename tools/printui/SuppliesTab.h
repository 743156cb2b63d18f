#pragma once

#include "PrinterProperties.h"

#include "widgets/SpoolerWorker.h"

#include <QWidget>

#include <memory>
#include <string>
#include <vector>

namespace quill::printui {

// The Properties dialog's "Supplies" tab: a bar for each supply the printer reports, in
// the supply's colour, or "not reported". Only shown, never changed.
class SuppliesTab : public QWidget {
public:
    explicit SuppliesTab(QWidget* parent = nullptr);
    ~SuppliesTab() override;
    // The queue's supplies. When the queue reports none and device is an IPP printer
    // (ipp or ipps; empty for a connection), the printer itself is asked beside the
    // window the first time the tab is shown.
    void Show(const std::vector<Marker>& markers, const std::string& device = {});
    // Gives up asking the printer (the dialog closing).
    void Cancel() { m_worker.reset(); }

    // What a bar says of a supply's level ("40%", "40% (low)", "unknown").
    static QString LevelText(const Marker& marker);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Draw(const std::vector<Marker>& markers);
    void AskDevice();

    QWidget* m_content = nullptr;
    std::vector<Marker> m_queueMarkers;
    std::string m_device; // the IPP printer to ask, empty when none is
    bool m_asked = false;
    std::vector<Marker> m_deviceMarkers;
    std::unique_ptr<widgets::SpoolerWorker> m_worker;
};

} // namespace quill::printui
