// GET /api/v1/market-status: where an exchange stands right now, in its own time zone.
#include "routes.hpp"

namespace health {
namespace {

// Minutes after local midnight: from NIGHT_START on, and before NIGHT_END, the day counts as night.
constexpr long long NIGHT_START = 1200;  // 20:00
constexpr long long NIGHT_END = 240;     // 04:00

// moment.hour * 60 + moment.minute, the hour read first
long long minute_of_day(Obj moment) {
    long long hour = as_long(moment.attr("hour"_id));
    return hour * 60 + as_long(moment.attr("minute"_id));
}

// The isoformat texts of a schedule row's open and close, in the exchange's time zone.
struct Session {
    Ref open_local, close_local;
};
Session session_of(Obj sched, Obj date_text, Obj tz) {
    Ref row = sched.attr("loc"_id).item(date_text.get());
    return {row.item("market_open"_id).method("tz_convert"_id, tz),
            row.item("market_close"_id).method("tz_convert"_id, tz)};
}

// {"date", "name", "days_until"} of the calendar's first holiday after today, or None
Ref next_holiday_of(Obj cal, Obj today) {
    Ref holidays = cal.method("holidays"_id).attr_or_none("holidays"_id);
    // a missing attribute reads as no holidays; one that is None could not be walked either
    if (holidays.is_none()) return holidays;
    Ref pd = G("pd"_id);
    for (Ref h : iterate(holidays)) {
        Ref h_ts = pd.attr("Timestamp"_id)(h).method("normalize"_id);
        if (!gt(h_ts, today)) continue;
        Ref date = h_ts.method("strftime"_id, "%Y-%m-%d"_id);
        Ref name = h_ts.method("strftime"_id, "%B %d"_id);
        Ref days_until = subtract(h_ts, today).attr("days"_id);
        return dict_of("date"_id, date, "name"_id, name, "days_until"_id, days_until);
    }
    return Ref(none());
}

}  // namespace

Co market_status([[maybe_unused]] Obj request, Str exchange) {
    Ref mcal = import("pandas_market_calendars"_id);
    Ref datetime = import_from("datetime"_id, "datetime"_id);
    Ref timezone = import_from("datetime"_id, "timezone"_id);

    // only the calendar lookup is guarded: an unknown name is the client's mistake, not ours
    Ref error;
    Ref cal = try_except([&] { return mcal.method("get_calendar"_id, exchange.method("upper"_id)); },
                         [&](const PyError& e) {
                             error = concat("Unknown exchange '", exchange, "': ", to_str(e.value()));
                             return Ref();
                         });
    if (!error.null()) co_return dict_of("success"_id, false, "error"_id, error);

    Ref tz = cal.attr("tz"_id);
    Ref tz_str = tz.attr("key"_id);
    Ref now_utc = datetime.attr("now"_id)(timezone.attr("utc"_id));
    Ref now_local = now_utc.method("astimezone"_id, tz);
    // the exchange-local calendar date, neither the host's nor UTC's
    Ref year = now_local.attr("year"_id), month = now_local.attr("month"_id), day = now_local.attr("day"_id);
    Ref today = datetime(year, month, day);

    Ref pd = G("pd"_id);
    Ref today_ts = pd.attr("Timestamp"_id)(today);
    Ref start = subtract(today_ts, pd.attr("Timedelta"_id)("5D"_id));
    Ref end = add(today_ts, pd.attr("Timedelta"_id)("15D"_id));
    Ref sched = cal.method("schedule"_id, start, end);

    Ref trading_dates = new_set();
    for (Ref d : iterate(sched.attr("index"_id))) set_add(trading_dates, pd.attr("Timestamp"_id)(d).method("normalize"_id));
    bool is_trading_day = contains(trading_dates, today);

    Ref session(none()), next_open_ts(none()), next_close_ts(none());
    long long now_min = minute_of_day(now_local);
    if (!is_trading_day) {
        session = Obj("CLOSED"_id);
    } else {
        Session today_session = session_of(sched, today.method("strftime"_id, "%Y-%m-%d"_id), tz);
        long long open_min = minute_of_day(today_session.open_local);
        // early closes shorten the regular session: the close comes from the schedule
        long long close_min = minute_of_day(today_session.close_local);
        if (now_min >= NIGHT_START || now_min < NIGHT_END) session = Obj("NIGHT"_id);
        else if (now_min < open_min) session = Obj("PRE"_id);
        else if (now_min < close_min) session = Obj("OPEN"_id);
        else session = Obj("AFTER"_id);
        next_open_ts = today_session.open_local.method("isoformat"_id);
        next_close_ts = today_session.close_local.method("isoformat"_id);
    }

    // the first session after today wins over today's own, even while today's is running
    Ref next_trading_day_ts(none());
    for (Ref d : iterate(G("sorted"_id)(trading_dates))) {
        if (!gt(d, today)) continue;
        next_trading_day_ts = d.method("strftime"_id, "%Y-%m-%d"_id);
        Session next = session_of(sched, next_trading_day_ts, tz);
        next_open_ts = next.open_local.method("isoformat"_id);
        next_close_ts = next.close_local.method("isoformat"_id);
        break;
    }

    // the holiday list is a nicety: any failure to read it leaves next_holiday null
    Ref next_holiday = try_except([&] { return next_holiday_of(cal, today); }, [](const PyError&) { return Ref(none()); });

    co_return dict_of("success"_id, true, "exchange"_id, exchange.method("upper"_id), "timezone"_id, tz_str, "date"_id,
                      today.method("strftime"_id, "%Y-%m-%d"_id), "is_trading_day"_id, is_trading_day, "session"_id,
                      session, "next_trading_day"_id, next_trading_day_ts, "next_open"_id, next_open_ts,
                      "next_close"_id, next_close_ts, "next_holiday"_id, next_holiday);
}

}  // namespace health
