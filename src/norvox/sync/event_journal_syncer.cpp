// norvox.sync.event_journal_syncer: copies a meter's event log into meter_event_log.
//
// Each fetch reads the newest event stored for the meter, pages the meter's event log from the
// newest page on while pages are wholly unseen, drops events with id 0 and upserts the rest in
// one request that leaves rows already stored unchanged. Three-phase meters are skipped.
#include <string>

#include <nanobind/nanobind.h>

#include "norvox/python/args.h"
#include "norvox/python/imports.h"
#include "norvox/python/module.h"
#include "norvox/python/runtime.h"
#include "norvox/python/syncer.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using norvox::import_from;
using norvox::required;

constexpr const char *event_table = "meter_event_log";
constexpr const char *stored_columns = "timestamp,event_type,event_set";
/// The table's unique key: one row per meter, time stamp and event type.
constexpr const char *conflict_target = "meter_id,timestamp,event_type";
/// A full page of the meter's event log.
constexpr std::size_t page_size = 10;
/// Pages read in one fetch at most (indexes 0 to 9), so at most 100 events are stored per fetch.
constexpr long max_pages = 10;

/// The event type stored for an event id: an integer as it is (an integer enumeration member
/// as its plain integer), any other enumeration member as its value.
nb::object event_type_of(nb::handle event_id) {
    if (!PyLong_Check(event_id.ptr()))
        return event_id.attr("value");
    if (PyLong_CheckExact(event_id.ptr()))
        return nb::borrow(event_id);
    nb::object value = nb::steal(PyNumber_Index(event_id.ptr()));
    if (!value.is_valid())
        throw nb::python_error();
    return value;
}

NORVOX_SITE(filter_event_log_for_unseen_events);
nb::object filter_event_log_for_unseen_events(nb::handle events, nb::handle latest_event_in_db) {
    norvox::check_exact(events, &PyList_Type, "events");
    if (latest_event_in_db.is_none())
        return nb::borrow(events);
    nb::object newest = latest_event_in_db.attr("timestamp");
    nb::object newest_type; // looked up only when an event shares the newest time stamp
    nb::list unseen;
    for (nb::handle event : events) {
        nb::object timestamp = event.attr("timestamp");
        bool is_unseen = timestamp > newest;
        // Two events of one second are common (a power failure and a cover opening): one of
        // another type than the stored row's is still unseen.
        if (!is_unseen && timestamp.equal(newest)) {
            if (!newest_type.is_valid())
                newest_type = event_type_of(latest_event_in_db.attr("event_id"));
            is_unseen = event_type_of(event.attr("event_id")).not_equal(newest_type);
        }
        if (is_unseen)
            unseen.append(event);
    }
    return unseen;
}

NORVOX_SITE(event_rec_to_table_row);
nb::dict event_rec_to_table_row(nb::module_ m, nb::handle meter_id, nb::handle event) {
    norvox::check_exact(meter_id, &PyUnicode_Type, "meter_id");
    nb::dict row;
    row["meter_id"] = meter_id;
    row["timestamp"] = m.attr("dmp_epoch_seconds_to_datetime")(event.attr("timestamp")).attr("isoformat")();
    row["event_type"] = event_type_of(event.attr("event_id"));
    row["event_set"] = event.attr("event_set");
    return row;
}

NORVOX_SITE(event_table_row_to_rec);
nb::object event_table_row_to_rec(nb::module_ m, nb::handle row) {
    nb::object record = m.attr("DmpEventLogResponse").attr("EventRec")();
    nb::object moment = m.attr("datetime").attr("datetime").attr("fromisoformat")(required(row, "timestamp"));
    record.attr("timestamp") = m.attr("dmp_datetime_to_epoch_seconds")(moment);
    record.attr("event_id") = required(row, "event_type");
    record.attr("event_set") = required(row, "event_set");
    return record;
}

nb::object no_updates(nb::module_ &m) { return m.attr("UpdatesTuple")(nb::none(), nb::none()); }

NORVOX_SITE(fetch_unseen);
nb::list fetch_unseen(nb::module_ m, nb::handle self, nb::handle last_seen_event) {
    nb::object logger = m.attr("logger");
    nb::list result;
    long page = 0;
    bool go_on = true;
    while (go_on) {
        nb::object events = self.attr("dederi_client").attr("event_log")(self.attr("serial"), page).attr("events");
        nb::object unseen = m.attr("filter_event_log_for_unseen_events")(events, last_seen_event);
        logger.attr("info")("unseen in current fetched logs", "unseen_in_fetched"_a = unseen);
        for (nb::handle event : unseen)
            result.append(event);
        ++page;
        go_on = nb::len(unseen) == page_size && page < max_pages;
    }
    return result;
}

NORVOX_SITE(fetch_metrics);
nb::object fetch_metrics(nb::module_ m, nb::handle self) {
    nb::object supabase = self.attr("supabase");
    nb::object meter_id = self.attr("meter_id");
    if (norvox::truthy(m.attr("is_three_phase_lookup")(supabase, meter_id)))
        return no_updates(m);

    nb::object logger = m.attr("logger");
    nb::object stored = supabase.attr("table")(event_table)
                            .attr("select")(stored_columns)
                            .attr("eq")("meter_id", meter_id)
                            .attr("order")("column"_a = "timestamp", "desc"_a = true)
                            .attr("limit")(1)
                            .attr("execute")()
                            .attr("data");
    nb::object last_seen = nb::none();
    if (norvox::truthy(stored)) {
        nb::object row = stored[0];
        logger.attr("info")("last seen event row", "last_seen_event"_a = row);
        last_seen = m.attr("event_table_row_to_rec")(row);
    }

    nb::object unseen = self.attr("_fetch_unseen")("last_seen_event"_a = last_seen);
    const std::size_t unseen_count = nb::len(unseen);
    logger.attr("info")("unseen events count", "unseen_event_count"_a = unseen_count);
    if (unseen_count == 0)
        return no_updates(m);

    // Id 0 marks no event; an enumeration member is judged by the type it would be stored as.
    nb::list kept;
    nb::int_ no_event(0);
    for (nb::handle event : unseen)
        if (event_type_of(event.attr("event_id")).not_equal(no_event))
            kept.append(event);
    if (nb::len(kept) != unseen_count)
        logger.attr("warn")("ignoring events with event_id 0");

    nb::list rows;
    nb::object to_row = m.attr("event_rec_to_table_row");
    for (nb::handle event : kept)
        rows.append(to_row("meter_id"_a = meter_id, "event"_a = event));
    const std::string count_message = std::to_string(nb::len(rows)) + " records to insert";
    logger.attr("info")(nb::str(count_message.c_str(), count_message.size()), "insert_recs"_a = rows);

    nb::object response = supabase.attr("table")(event_table)
                              .attr("upsert")(rows, "on_conflict"_a = conflict_target, "ignore_duplicates"_a = true)
                              .attr("execute")();
    logger.attr("info")("supabase insert response", "response"_a = response);
    return no_updates(m);
}

} // namespace

NORVOX_MODULE(event_journal_syncer, m) {
    // The syncer base, the protocol library and the meter look-up, then logging.
    import_from(m, "norvox.sync.syncer_base", {"SyncerBase", "UpdatesTuple"});
    import_from(m, "typing_extensions", {"override"});
    norvox::import_modules(m, {"datetime"});
    import_from(m, "dmp_frame_protocol",
                {"DmpEventLogResponse", "dmp_epoch_seconds_to_datetime", "dmp_datetime_to_epoch_seconds"});
    import_from(m, "norvox.util.meters", {"is_three_phase_lookup"});
    import_from(m, "norvox.util.logging", {"get_logger"});

    m.attr("logger") = norvox::module_logger(m);

    norvox::def(m, "filter_event_log_for_unseen_events", filter_event_log_for_unseen_events_site,
                &filter_event_log_for_unseen_events, nb::arg("events").none(), nb::arg("latest_event_in_db").none(),
                nb::sig("def filter_event_log_for_unseen_events("
                        "events: list[dmp_frame_protocol.DmpEventLogResponse.EventRec], "
                        "latest_event_in_db: dmp_frame_protocol.DmpEventLogResponse.EventRec | None"
                        ") -> list[dmp_frame_protocol.DmpEventLogResponse.EventRec]"),
                "The events not yet stored: all of them when nothing is stored, else those newer than the "
                "stored event or of its second but another event type.");
    norvox::def(
        m, "event_rec_to_table_row", event_rec_to_table_row_site,
        [m](nb::handle meter_id, nb::handle event) { return event_rec_to_table_row(m, meter_id, event); },
        nb::arg("meter_id").none(), nb::arg("event").none(),
        nb::sig("def event_rec_to_table_row(meter_id: str, event: dmp_frame_protocol.DmpEventLogResponse.EventRec) "
                "-> dict[str, typing.Any]"),
        "The meter_event_log row of one event record.");
    norvox::def(
        m, "event_table_row_to_rec", event_table_row_to_rec_site,
        [m](nb::handle row) { return event_table_row_to_rec(m, row); }, nb::arg("row").none(),
        nb::sig("def event_table_row_to_rec(row: collections.abc.Mapping[str, typing.Any]) "
                "-> dmp_frame_protocol.DmpEventLogResponse.EventRec"),
        "The event record of a stored meter_event_log row.");

    nb::dict ns;
    norvox::add_method(ns, m, "_fetch_unseen", fetch_unseen_site, &fetch_unseen, nb::arg("last_seen_event").none(),
                       nb::sig("def _fetch_unseen(self, "
                               "last_seen_event: dmp_frame_protocol.DmpEventLogResponse.EventRec | None"
                               ") -> list[dmp_frame_protocol.DmpEventLogResponse.EventRec]"),
                       "The unseen events of the pages read, newest page first.");
    norvox::make_syncer_class(m, "EventJournalSyncer", "Copies a meter's unseen events into meter_event_log.",
                              fetch_metrics_site, &fetch_metrics,
                              "Store the meter's unseen events; returns no columns.", ns);
}
