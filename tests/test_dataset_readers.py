"""The fixed-layout files event datasets come in (N-MNIST / N-Caltech101 .bin, AEDAT 2.0,
AEDAT 3.1), written byte by byte by dataset_files.py: events read back exactly, the records
that are not pixel events skipped and counted, counters that wrap, files cut mid-record,
and the one-line errors for foreign files."""
import numpy as np
import pytest

import dataset_files as w
from nivra.viz.io import ReaderError, open_source, read_events


def nmnist(ev):
    return w.nmnist(ev["x"], ev["y"], ev["p"], ev["t"])


def aedat2_dvs128(ev):
    return w.aedat2_header() + w.aedat2_records(w.dvs128_address(ev["x"], ev["y"], ev["p"]), ev["t"])


def aedat2_davis(ev):
    return w.aedat2_header("eu.seebetter.ini.chips.davis.DAVIS240C") + \
        w.aedat2_records(w.davis_address(ev["x"], ev["y"], ev["p"], 180), ev["t"])


def aedat31(ev, source="DVS128", parts=4):
    data = w.aedat31_header(source)
    for i in np.array_split(np.arange(len(ev["t"])), parts):
        data += w.polarity_packet(ev["x"][i], ev["y"][i], ev["p"][i], ev["t"][i])
    return data


# format -> (file name, writer, sensor to draw events on, format named, sensor size read)
FORMATS = {
    "nmnist": ("digit.bin", nmnist, (34, 34), "N-MNIST .bin", (34, 34)),
    "ncaltech101": ("image_0001.bin", nmnist, (233, 172), "N-Caltech101 .bin", None),
    "aedat2-dvs128": ("cifar.aedat", aedat2_dvs128, (128, 128), "AEDAT 2.0 (DVS128)", (128, 128)),
    "aedat2-davis": ("davis.aedat", aedat2_davis, (240, 180), "AEDAT 2.0 (DAVIS240)", (240, 180)),
    "aedat31-dvs128": ("user01_fluorescent.aedat", aedat31, (128, 128), "AEDAT 3.1 (DVS128)",
                       (128, 128)),
    "aedat31-davis": ("rec.aedat", lambda ev: aedat31(ev, "DAVIS346B"), (346, 260),
                      "AEDAT 3.1 (DAVIS346)", (346, 260)),
}


@pytest.mark.parametrize("kind", FORMATS)
def test_dataset_files_read_back(tmp_path, kind):
    name, write, (width, height), fmt, size = FORMATS[kind]
    ev = w.events(4000, width, height, t0=1234)
    path = tmp_path / name
    path.write_bytes(write(ev))
    rec = read_events(path)
    assert (rec.format, rec.sensor_size, len(rec.events)) == (fmt, size, 4000)
    w.same(rec, ev)
    # Read in chunks the same; a window counted from the first event.
    source = open_source(path)
    assert np.array_equal(np.concatenate(list(source.chunks(999))), rec.events)
    assert source.skipped == {} and source.warnings == []
    win = read_events(path, start=20_000, end=50_000)
    inside = (ev["t"] - ev["t"][0] >= 20_000) & (ev["t"] - ev["t"][0] < 50_000)
    np.testing.assert_array_equal(win.events["t"], ev["t"][inside])


@pytest.mark.parametrize("kind, span", [("nmnist", 3 << 23), ("aedat2-dvs128", 5 << 31),
                                        ("aedat31-davis", 3 << 31)])
def test_timestamps_past_the_counter_wrap(tmp_path, kind, span):
    """Long recordings: the 23-bit N-MNIST stamps, AEDAT 2.0's int32 stamps and AEDAT 3.1's
    overflow counter all carry on past their wrap."""
    name, write, (width, height), _, _ = FORMATS[kind]
    ev = w.events(3000, width, height, t0=1000, step=2 * span // 3000)
    path = tmp_path / name
    if kind.startswith("aedat31"):  # one packet per overflow epoch, as cAER starts a new one
        epoch = ev["t"] >> 31
        path.write_bytes(w.aedat31_header("DAVIS346B") + b"".join(
            w.polarity_packet(ev["x"][epoch == e], ev["y"][epoch == e], ev["p"][epoch == e],
                              ev["t"][epoch == e]) for e in np.unique(epoch)))
        assert len(np.unique(epoch)) >= 3
    else:
        path.write_bytes(write(ev))
    rec = read_events(path)
    w.same(rec, ev)
    assert np.all(np.diff(rec.events["t"]) >= 0)


def test_aedat31_skips_and_counts_what_is_not_a_polarity_event(tmp_path):
    """A DAVIS recording as cAER writes it: frames, IMU samples and triggers between the
    polarity packets; events whose valid bit is 0 are not drawn either."""
    ev = w.events(3000, 346, 260)
    valid = np.ones(3000, np.int64)
    valid[::10] = 0
    parts = np.array_split(np.arange(3000), 3)
    data = w.aedat31_header("DAVIS346B") + w.frame_packet(2)
    for n, i in enumerate(parts):
        data += w.polarity_packet(ev["x"][i], ev["y"][i], ev["p"][i], ev["t"][i], valid[i])
        data += w.imu6_packet(7) + (w.special_packet(2) if n == 1 else w.frame_packet(1))
    data += w.packet(42, 16, 3, bytes(48))  # a type this reader does not know
    path = tmp_path / "davis346.aedat"
    path.write_bytes(data)
    source = open_source(path)
    events = source.read()
    keep = valid.astype(bool)
    np.testing.assert_array_equal(events["x"], ev["x"][keep])
    np.testing.assert_array_equal(events["t"], ev["t"][keep])
    assert source.skipped == {"frame events (APS)": 4, "IMU6 events": 21,
                              "special events (triggers, timestamp resets)": 2,
                              "invalid polarity events (valid bit 0)": 300,
                              "events of type 42": 3}
    assert source.warnings == []
    assert "21 IMU6 events not read" in read_events(path).notes


def test_aedat2_davis_skips_aps_imu_and_special_events_and_turns_rows_over(tmp_path):
    ev = w.events(2000, 240, 180)
    address = w.davis_address(ev["x"], ev["y"], ev["p"], 180)
    aps = np.zeros(2000, bool)
    aps[::7] = True
    special = np.zeros(2000, bool)
    special[3::11] = True
    special &= ~aps
    address = np.where(aps, address | 1 << 31, address)
    address = np.where(special, address | 1 << 10, address)
    path = tmp_path / "davis.aedat"
    path.write_bytes(w.aedat2_header("eu.seebetter.ini.chips.davis.DAVIS240C")
                     + w.aedat2_records(address, ev["t"]))
    source = open_source(path)
    events = source.read()
    pixel = ~(aps | special)
    for name in "xytp":
        np.testing.assert_array_equal(events[name].astype(np.int64), ev[name][pixel])
    assert source.skipped == {"APS/IMU samples (address bit 31)": int(aps.sum()),
                              "special events (address bit 10)": int(special.sum())}


def test_aedat2_sensor_from_the_chip_line(tmp_path):
    ev = w.events(500, 128, 128)
    records = w.aedat2_records(w.dvs128_address(ev["x"], ev["y"], ev["p"]), ev["t"])
    path = tmp_path / "cifar10dvs.aedat"
    path.write_bytes(w.aedat2_header(chip=None) + records)  # MATLAB's writer names no chip
    source = open_source(path)
    assert source.sensor_size == (128, 128)
    assert "names no sensor" in source.warnings[0] and "DVS128 layout" in source.warnings[0]
    w.same(read_events(path), ev)
    chip = "ch.unizh.ini.jaer.chip.cochlea.CochleaAMS1c\u0085nivra-viz: error: forged"
    path.write_bytes(w.aedat2_header(chip) + records)
    with pytest.raises(ReaderError) as err:
        read_events(path)
    text = str(err.value)
    assert "CochleaAMS1c\\x85nivra-viz" in text and "layout this reader does not know" in text
    assert len(text.splitlines()) == 1


WRITERS = {
    "nmnist": ("digit.bin", lambda ev: nmnist(ev), 0, 5),
    "aedat2": ("rec.aedat", aedat2_dvs128, len(w.aedat2_header()), 8),
    "aedat31": ("rec.aedat", lambda ev: aedat31(ev, parts=3), len(w.aedat31_header()), 8),
}


@pytest.mark.parametrize("kind", WRITERS)
@pytest.mark.parametrize("cut", [1, 3, 101, 2001])
def test_a_file_cut_mid_record_gives_the_events_before_and_says_where(tmp_path, kind, cut):
    name, write, start, size = WRITERS[kind]
    ev = w.events(1000, 34, 34)
    data = write(ev)
    path = tmp_path / name
    path.write_bytes(data[:len(data) - cut])
    source = open_source(path)
    events = source.read()
    got = len(events)
    np.testing.assert_array_equal(events["t"], ev["t"][:got])
    assert got < 1000 and len(source.warnings) == 1
    text = source.warnings[0]
    assert text.startswith("the file ends inside") and text.endswith(f"the {got:,} events "
                                                                      f"before it are read")
    offset = int(text.split(" at byte ")[1].split()[0].rstrip(";").replace(",", ""))
    if kind == "aedat31":  # the packet cut short starts there; its whole events are read
        sizes = [len(i) for i in np.array_split(np.arange(1000), 3)]
        assert offset in start + np.cumsum([0] + [28 + 8 * n for n in sizes[:-1]])
    else:
        assert offset == start + got * size


def test_aedat31_damaged_packet_header(tmp_path):
    ev = w.events(900, 128, 128)
    data = bytearray(aedat31(ev, parts=3))
    second = len(w.aedat31_header()) + 28 + 300 * 8
    data[second + 4:second + 8] = (123456789).to_bytes(4, "little")  # its event size
    path = tmp_path / "rec.aedat"
    path.write_bytes(bytes(data))
    source = open_source(path)
    events = source.read()
    np.testing.assert_array_equal(events["t"], ev["t"][:300])
    assert source.warnings == [f"a damaged packet header at byte {second:,} (type 1, event "
                               f"size 123456789, 300 events); the 300 events before it are read"]


@pytest.mark.parametrize("name, data, needle", [
    ("noise.bin", np.random.default_rng(5).integers(0, 256, 5000, np.uint8).tobytes(),
     "not an N-MNIST/N-Caltech101 event file: its timestamps go back"),
    ("tiny.bin", b"\x01\x02", "holds no whole 5-byte event record"),
    ("old.aedat", b"#!AER-DAT1.0\r\n# jAER\r\n" + bytes(64), "AEDAT 1.0 files are not read"),
    ("plain.aedat", b"\x00\x01" * 40, "no '#!AER-DAT' version line"),
    ("open.aedat", b"#!AER-DAT3.1\r\n#Format: RAW\r\n" + bytes(64), "no '#!END-HEADER' line"),
    ("cut.aedat", w.aedat2_header()[:-30], "the file ends inside its text header, at byte"),
    ("zip.aedat", b"#!AER-DAT3.1\r\n#Format: SerializedTS\r\n#!END-HEADER\r\n",
     "the event format 'SerializedTS' is not read"),
])
def test_foreign_files_give_one_line_errors(tmp_path, name, data, needle):
    path = tmp_path / name
    path.write_bytes(data)
    with pytest.raises(ReaderError) as err:
        read_events(path)
    assert needle in str(err.value) and str(path) in str(err.value)
    assert "\n" not in str(err.value)


def test_format_told_by_content_before_name(tmp_path):
    ev = w.events(300, 128, 128)
    path = tmp_path / "recording.bin"  # an AEDAT file under N-MNIST's ending
    path.write_bytes(aedat31(ev))
    assert read_events(path).format == "AEDAT 3.1 (DVS128)"
    path.write_bytes(aedat2_dvs128(ev))
    assert read_events(path).format == "AEDAT 2.0 (DVS128)"


def test_command_reports_what_was_not_drawn_and_where_a_file_was_cut(capsys, tmp_path):
    pytest.importorskip("nivra.viz.spikes")
    from nivra.viz.cli import main

    ev = w.events(2000, 346, 260)
    data = w.aedat31_header("DAVIS346B") + w.frame_packet(1) + w.imu6_packet(12) + \
        w.polarity_packet(ev["x"], ev["y"], ev["p"], ev["t"])
    path = tmp_path / "davis.aedat"
    path.write_bytes(data[:-4])
    assert main(["events", str(path), "-o", str(tmp_path / "p.html")]) == 0
    out, err = capsys.readouterr()
    assert out.splitlines()[0] == (f"{path}: AEDAT 3.1 (DAVIS346); 1,999 events read, 1,999 drawn; fields x=x y=y "
                                   f"t=t p=p; sensor 346 x 260 (from the file); none left out; "
                                   f"not drawn: 1 frame events (APS), 12 IMU6 events")
    at = len(w.aedat31_header("DAVIS346B")) + len(w.frame_packet(1)) + len(w.imu6_packet(12))
    assert err == (f"nivra-viz: warning: the file ends inside a packet of 2,000 polarity events "
                   f"at byte {at:,} (1,999 of them read); the 1,999 events before it are read\n")
