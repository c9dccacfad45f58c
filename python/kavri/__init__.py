"""kavri: a brokerless publish/subscribe bus for processes on one machine."""
