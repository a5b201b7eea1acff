// Stand-in for the VISCA link: the update flag only.
#include "visca_connection.h"

#include "trace.h"

visca_thread_record visca_thread_data;

int visca_update_active(visca_thread_record *record)
{
    trace(TRACE_VISCA, "visca_update_active() %d", record->update_active);
    return record->update_active;
}
