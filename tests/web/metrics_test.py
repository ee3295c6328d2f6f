#!/usr/bin/python3
"""/metrics read by Prometheus' own parser: every family announced, and the
counters move with the traffic a simulated PBX makes."""

import sys

from hub_process import SKIP, Hub, pbx_address


def samples(hub):
    from prometheus_client.parser import text_string_to_metric_families
    found = {}
    kinds = {}
    for family in text_string_to_metric_families(hub.get("/metrics")):
        kinds[family.name] = family.type
        for sample in family.samples:
            found[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    return found, kinds


def value(found, name, **labels):
    return found.get((name, tuple(sorted(labels.items()))), 0.0)


def main(korvel, send_tool, free_base_port):
    try:
        import prometheus_client.parser  # noqa: F401
    except ImportError:
        print("skipped: python3-prometheus-client is not installed")
        return SKIP

    with Hub(korvel, send_tool, free_base_port) as hub:
        first, kinds = samples(hub)
        for name, kind in {
            "korvel_datagrams_received": "counter", "korvel_forwarded": "counter",
            "korvel_sent_bytes": "counter", "korvel_received_bytes": "counter",
            "korvel_systems": "gauge", "korvel_stations_registered": "gauge",
            "korvel_live_senders": "gauge", "korvel_send_queue_depth": "gauge",
        }.items():
            assert kinds.get(name) == kind, f"{name}: {kinds.get(name)}"

        reporter, listener = pbx_address(hub.base, 2), pbx_address(hub.base, 3)
        # The second system is there to be forwarded to.
        hub.send(listener, "register", "--system-id", "QVX301", "--source", "42100", "--dest", "41100")
        reports = 3
        for state in ("busy", "idle", "dnd")[:reports]:
            hub.send(reporter, "statusreport", "--system-id", "QVX300", "--stations", "41100,41101",
                     "--status", state, udp=True)
        # The counters are read on the hub's loop; the last report may still be on its way.
        for _ in range(50):
            after, _ = samples(hub)
            received = value(after, "korvel_datagrams_received_total", endpoint="udp", message="MSG_STATUSREPORT")
            if received - value(first, "korvel_datagrams_received_total", endpoint="udp",
                                message="MSG_STATUSREPORT") >= reports:
                break
            import time
            time.sleep(0.1)

        def moved(name, **labels):
            return value(after, name, **labels) - value(first, name, **labels)

        assert moved("korvel_datagrams_received_total", endpoint="udp", message="MSG_STATUSREPORT") == reports
        assert moved("korvel_forwarded_total", message="MSG_STATUSREPORT") == reports
        assert moved("korvel_received_bytes_total") > 0
        assert moved("korvel_sent_bytes_total") > 0
        assert value(after, "korvel_systems", status="working") == 2, value(after, "korvel_systems", status="working")
        assert value(after, "korvel_stations_registered") >= 2
    print("metrics parsed; counters moved with", reports, "reports")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
