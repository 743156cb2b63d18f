#include "spooler/NotifyBlock.h"

#include <utility>

namespace quill::spooler {

NotifyInfo BuildNotifyBlock(const NotifyOptions& options, const std::string& printerName, const PrinterValues& printer,
                            const std::vector<JobInfo2>& jobs) {
    NotifyInfo block;
    for (const NotifyOptionsType& type : options.Types) {
        if (type.Type == JOB_NOTIFY_TYPE) {
            for (const JobInfo2& job : jobs) {
                for (std::uint16_t field : type.Fields) {
                    NotifyData record{JOB_NOTIFY_TYPE, field, job.JobId, std::monostate()};
                    switch (field) {
                    case JOB_NOTIFY_FIELD_PRINTER_NAME: record.Data = printerName; break;
                    case JOB_NOTIFY_FIELD_MACHINE_NAME: record.Data = job.pMachineName; break;
                    case JOB_NOTIFY_FIELD_USER_NAME: record.Data = job.pUserName; break;
                    case JOB_NOTIFY_FIELD_DOCUMENT: record.Data = job.pDocument; break;
                    case JOB_NOTIFY_FIELD_STATUS: record.Data = job.Status; break;
                    case JOB_NOTIFY_FIELD_PRIORITY: record.Data = job.Priority; break;
                    case JOB_NOTIFY_FIELD_TOTAL_PAGES: record.Data = job.TotalPages; break;
                    case JOB_NOTIFY_FIELD_PAGES_PRINTED: record.Data = job.PagesPrinted; break;
                    case JOB_NOTIFY_FIELD_TOTAL_BYTES: record.Data = job.Size; break;
                    case JOB_NOTIFY_FIELD_SUBMITTED: record.Data = job.Submitted; break;
                    default: continue; // a field CUPS does not know
                    }
                    block.aData.push_back(std::move(record));
                }
            }
        } else if (type.Type == PRINTER_NOTIFY_TYPE) {
            for (std::uint16_t field : type.Fields) {
                NotifyData record{PRINTER_NOTIFY_TYPE, field, 0, std::monostate()};
                switch (field) {
                case PRINTER_NOTIFY_FIELD_STATUS: record.Data = printer.status; break;
                case PRINTER_NOTIFY_FIELD_CJOBS: record.Data = printer.jobs; break;
                case PRINTER_NOTIFY_FIELD_PRINTER_NAME: record.Data = printerName; break;
                // A printer of this computer has no server name.
                case PRINTER_NOTIFY_FIELD_SERVER_NAME: record.Data = std::string(); break;
                case PRINTER_NOTIFY_FIELD_SHARE_NAME: record.Data = printer.shareName; break;
                default: continue;
                }
                block.aData.push_back(std::move(record));
            }
        }
    }
    return block;
}

} // namespace quill::spooler
