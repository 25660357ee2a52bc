"""Stand-in for the meter protocol library (DMP frames): the event-log record, the backlight
setting enumeration and the conversions between date-times and the protocol's epoch seconds."""
