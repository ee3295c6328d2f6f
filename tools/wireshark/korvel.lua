-- Wireshark dissector for the packets that PBX systems and the Korvel hub
-- exchange over UDP and TCP.
--
-- One run:   tshark -X lua_script:korvel.lua -r capture.pcap
--            wireshark -X lua_script:korvel.lua
-- Always:    copy this file to ~/.local/lib/wireshark/plugins/
--
-- The base port preference (Protocols > KORVEL) decides which ports are
-- decoded: TCP B, UDP B+1, B+3 and B+4. UDP 9003 and 9004, where Velka
-- systems receive their answers, are decoded whatever the base port. The
-- extra ports preference adds more (TCP and UDP), such as the ports P and
-- P+1 of QVX systems; on any other port a packet is recognised by its
-- marker, code and Length field.
--
-- A datagram is read the way the hub reads it: the bytes received are the
-- packet, whatever its Length field says, and nothing in it is trusted. On
-- TCP the Length field cuts requests out of the stream, so that a request
-- split over segments is decoded once, whole.

local korvel = Proto("korvel", "Korvel BLF relay protocol")

local MESSAGE_NAMES = {
    [1] = "MSG_ACK",
    [2] = "MSG_NAK",
    [3] = "MSG_REGISTER",
    [4] = "MSG_UNREGISTER",
    [5] = "MSG_CLEAR",
    [6] = "MSG_GETDATA",
    [7] = "MSG_GETRESPONSE",
    [8] = "MSG_STATUSREPORT",
    [9] = "MSG_SYSTEM_REGISTER",
    [10] = "MSG_SYSTEM_UNREGISTER",
    [11] = "MSG_REQ_GETDATA",
    [12] = "MSG_REGISTERv2",
    [13] = "MSG_GETDATAv2",
    [14] = "MSG_MULTACK",
    [15] = "MSG_DATA_MISMATCH",
    [16] = "MSG_UNREG_MULTACK",
}

-- The same words as the hub's console trace, so the two can be read side by side.
local STATUS_NAMES = { [0] = "IDLE", [1] = "BUSY", [2] = "DND", [3] = "MSG", [4] = "OOS" }
local RESULT_NAMES = { [1] = "ACK", [2] = "NAK" }

local SYSTEM_ID_SIZE = 32
local STATION_SIZE = 16
local ENTRY_SIZE = 17
local MAX_WALKED_ENTRIES = 512
local VELKA_DATA_PORT = 9003
local VELKA_ACK_PORT = 9004
local MARKER = 0x0B
local HEADER_SIZE = 4
local MAX_TCP_READ = 2048
local PT_TCP = 2 -- pinfo.port_type of a TCP segment

local pf = {
    marker = ProtoField.uint8("korvel.marker", "Marker", base.HEX),
    code = ProtoField.uint8("korvel.code", "Message code", base.DEC, MESSAGE_NAMES),
    length = ProtoField.uint16("korvel.length", "Length", base.DEC),
    seq = ProtoField.uint16("korvel.seq", "Sequence number", base.DEC),
    system_id = ProtoField.string("korvel.system_id", "System ID"),
    array_size = ProtoField.uint16("korvel.array_size", "ArraySize", base.DEC),
    source_station = ProtoField.string("korvel.source_station", "Source station"),
    destination_station = ProtoField.string("korvel.destination_station", "Destination station"),
    entry = ProtoField.none("korvel.entry", "Station entry"),
    station = ProtoField.string("korvel.station", "Station"),
    status = ProtoField.uint8("korvel.status", "Status", base.DEC, STATUS_NAMES),
    result = ProtoField.uint8("korvel.result", "Result", base.DEC, RESULT_NAMES),
    page_index = ProtoField.uint16("korvel.page_index", "PageIndex", base.DEC),
    endpoint_type = ProtoField.uint16("korvel.endpoint_type", "EndpointType", base.DEC),
    system_ip = ProtoField.ipv4("korvel.system_ip", "SystemIp"),
    system_port = ProtoField.uint16("korvel.system_port", "SystemPort", base.DEC),
    flag = ProtoField.uint8("korvel.flag", "Flag", base.DEC),
    unused = ProtoField.bytes("korvel.unused", "Not interpreted"),
    body = ProtoField.bytes("korvel.body", "Body"),
    extra = ProtoField.bytes("korvel.extra", "Bytes after the message"),
}
korvel.fields = pf

local ef = {
    short = ProtoExpert.new("korvel.short", "Packet ends inside a field",
        expert.group.MALFORMED, expert.severity.ERROR),
    missing_entries = ProtoExpert.new("korvel.missing_entries", "ArraySize counts more entries than the packet holds",
        expert.group.MALFORMED, expert.severity.ERROR),
    walk_limit = ProtoExpert.new("korvel.walk_limit", "Receivers read at most 512 entries",
        expert.group.PROTOCOL, expert.severity.NOTE),
    length = ProtoExpert.new("korvel.length_mismatch", "Length field differs from the bytes received",
        expert.group.PROTOCOL, expert.severity.WARN),
    marker = ProtoExpert.new("korvel.bad_marker", "Marker is not 0x0B",
        expert.group.PROTOCOL, expert.severity.WARN),
    unknown = ProtoExpert.new("korvel.unknown_code", "Unknown message code",
        expert.group.UNDECODED, expert.severity.WARN),
}
korvel.experts = ef

-- A fixed-width text ends at its first NUL or at the field's end. Bytes
-- outside printable ASCII are shown escaped: the systems send single-byte
-- texts in no particular code page.
local function field_text(range)
    local raw = range:raw()
    local nul = raw:find("\0", 1, true)
    if nul then raw = raw:sub(1, nul - 1) end
    return (raw:gsub("[^\32-\126]", function(c) return string.format("\\x%02X", c:byte()) end))
end

-- Reads one packet's fields in order; once a field does not fit, the packet
-- is marked malformed and nothing after it is read.
local Reader = {}
Reader.__index = Reader

-- A quiet reader marks nothing: the packet quoted in an ICMP error is a
-- truncated copy, whose missing end says nothing about the packet sent.
local function new_reader(tvb, tree, quiet)
    return setmetatable({ tvb = tvb, tree = tree, len = tvb:len(), short = false, used = 0, quiet = quiet }, Reader)
end

function Reader:expert(item, ...)
    if not self.quiet then item:add_proto_expert_info(...) end
end

function Reader:fits(offset, width, what)
    if self.short then return false end
    if offset + width <= self.len then
        if offset + width > self.used then self.used = offset + width end
        return true
    end
    self.short = true
    local item
    if offset < self.len then
        item = self.tree:add(pf.unused, self.tvb(offset))
        item:set_text(string.format("%s, cut short (%d of %d bytes)", what, self.len - offset, width))
        self.used = self.len
    else
        item = self.tree
    end
    self:expert(item, ef.short, string.format("Packet ends inside %s: it needs bytes %d to %d, %d bytes received",
        what, offset, offset + width - 1, self.len))
    return false
end

function Reader:uint(field, offset, width, what)
    if not self:fits(offset, width, what) then return nil end
    local range = self.tvb(offset, width)
    self.tree:add(field, range)
    return range:uint()
end

function Reader:text(field, offset, width, what, tree)
    if not self:fits(offset, width, what) then return nil end
    local range = self.tvb(offset, width)
    local text = field_text(range)
    ;(tree or self.tree):add(field, range, text)
    return text
end

function Reader:rest(field, offset)
    if self.short or offset >= self.len then return end
    self.tree:add(field, self.tvb(offset))
    self.used = self.len
end

local function station_list(r, first, count, field, what)
    local shown = {}
    local whole = math.max(0, math.floor((r.len - first) / STATION_SIZE))
    for i = 0, math.min(count, whole) - 1 do
        shown[#shown + 1] = r:text(field, first + STATION_SIZE * i, STATION_SIZE, what)
    end
    if count > whole then
        r:expert(r.tree, ef.missing_entries,
            string.format("ArraySize is %d, the packet holds %d whole %s fields", count, whole, what))
        if first + STATION_SIZE * whole < r.len then r:rest(pf.extra, first + STATION_SIZE * whole) end
    end
    return shown
end

-- Status reports and multi-acks: 17-byte entries from byte 38, walked as far
-- as ArraySize, the received bytes and the 512-entry limit allow.
local function station_entries(r, value_field, names)
    local count = r:uint(pf.array_size, 36, 2, "ArraySize")
    if count == nil then return {} end
    local whole = math.max(0, math.floor((r.len - 38) / ENTRY_SIZE))
    local walked = math.min(count, MAX_WALKED_ENTRIES, whole)
    local shown = {}
    for i = 0, walked - 1 do
        local offset = 38 + ENTRY_SIZE * i
        r:fits(offset, ENTRY_SIZE, "a station entry")
        local value = r.tvb(offset + STATION_SIZE, 1):uint()
        local label = names[value] or "????"
        local entry = r.tree:add(pf.entry, r.tvb(offset, ENTRY_SIZE))
        local station = r:text(pf.station, offset, STATION_SIZE, "a station number", entry)
        entry:add(value_field, r.tvb(offset + STATION_SIZE, 1))
        entry:set_text(string.format("Station entry %d: %s %s", i + 1, station, label))
        shown[#shown + 1] = station .. ":" .. label
    end
    if count > MAX_WALKED_ENTRIES and whole > MAX_WALKED_ENTRIES then
        r.tree:add_proto_expert_info(ef.walk_limit)
    end
    if math.min(count, MAX_WALKED_ENTRIES) > whole then
        r:expert(r.tree, ef.missing_entries,
            string.format("ArraySize is %d, the packet holds %d whole entries", count, whole))
        if 38 + ENTRY_SIZE * whole < r.len then r:rest(pf.extra, 38 + ENTRY_SIZE * whole) end
    end
    return shown
end

local function summary(list, limit)
    if #list <= limit then return table.concat(list, " ") end
    local head = {}
    for i = 1, limit do head[i] = list[i] end
    return table.concat(head, " ") .. string.format(" ... (%d in all)", #list)
end

-- Each body reader returns the text for the Info column.
local bodies = {}

bodies[3] = function(r) -- MSG_REGISTER
    local id = r:text(pf.system_id, 6, SYSTEM_ID_SIZE, "the System ID")
    local source = r:text(pf.source_station, 38, STATION_SIZE, "the source station")
    local destination = r:text(pf.destination_station, 54, STATION_SIZE, "the destination station")
    if destination then return string.format("System ID=%s %s asks for %s", id, source, destination) end
    return id and ("System ID=" .. id) or ""
end

local function station_list_request(r) -- MSG_UNREGISTER, MSG_REGISTERv2
    local id = r:text(pf.system_id, 6, SYSTEM_ID_SIZE, "the System ID")
    local count = r:uint(pf.array_size, 38, 2, "ArraySize")
    local source = r:text(pf.source_station, 40, STATION_SIZE, "the source station")
    if source == nil then return id and ("System ID=" .. id) or "" end
    local stations = station_list(r, 56, count, pf.destination_station, "destination station")
    return string.format("System ID=%s from %s: %s", id, source, summary(stations, 8))
end
bodies[4] = station_list_request
bodies[12] = station_list_request

bodies[5] = function(r) -- MSG_CLEAR: a body that the hub does not interpret
    r:rest(pf.body, 6)
    return ""
end

bodies[6] = function(r) -- MSG_GETDATA
    local id = r:text(pf.system_id, 6, SYSTEM_ID_SIZE, "the System ID")
    return id and ("System ID=" .. id .. " page 0") or ""
end

bodies[7] = function(r) -- MSG_GETRESPONSE
    local count = r:uint(pf.array_size, 6, 2, "ArraySize")
    if count == nil then return "" end
    local stations = station_list(r, 8, count, pf.station, "station")
    return string.format("%d stations: %s", count, summary(stations, 8))
end

bodies[8] = function(r) -- MSG_STATUSREPORT
    local id = r:text(pf.system_id, 4, SYSTEM_ID_SIZE, "the System ID")
    if id == nil then return "" end
    return "System ID=" .. id .. " " .. summary(station_entries(r, pf.status, STATUS_NAMES), 8)
end

local function multi_ack(r) -- MSG_MULTACK, MSG_UNREG_MULTACK
    local id = r:text(pf.system_id, 4, SYSTEM_ID_SIZE, "the System ID")
    if id == nil then return "" end
    return "System ID=" .. id .. " " .. summary(station_entries(r, pf.result, RESULT_NAMES), 8)
end
bodies[14] = multi_ack
bodies[16] = multi_ack

bodies[9] = function(r) -- MSG_SYSTEM_REGISTER
    local id = r:text(pf.system_id, 6, SYSTEM_ID_SIZE, "the System ID")
    local endpoint = r:uint(pf.endpoint_type, 38, 2, "EndpointType")
    if not r:fits(40, 4, "SystemIp") then return id and ("System ID=" .. id) or "" end
    r.tree:add(pf.system_ip, r.tvb(40, 4))
    local ip = tostring(r.tvb(40, 4):ipv4())
    local port = r:uint(pf.system_port, 44, 2, "SystemPort")
    if port == nil then return string.format("System ID=%s at %s", id, ip) end
    if r.len > 46 then r:rest(pf.unused, 46) end
    return string.format("System ID=%s at %s port %d, EndpointType %d", id, ip, port, endpoint)
end

bodies[13] = function(r) -- MSG_GETDATAv2
    local id = r:text(pf.system_id, 6, SYSTEM_ID_SIZE, "the System ID")
    local page = r:uint(pf.page_index, 38, 2, "PageIndex")
    if page == nil then return id and ("System ID=" .. id) or "" end
    return string.format("System ID=%s page %d", id, page)
end

bodies[15] = function(r) -- MSG_DATA_MISMATCH: the MSG_REGISTER layout and a flag
    r:text(pf.system_id, 6, SYSTEM_ID_SIZE, "the System ID")
    r:text(pf.source_station, 38, STATION_SIZE, "the source station")
    local station = r:text(pf.station, 54, STATION_SIZE, "the station")
    if station == nil then return "" end
    if r.len > 70 then r:uint(pf.flag, 70, 1, "the flag") end
    if r.len > 71 then r:rest(pf.unused, 71) end
    return "station " .. station .. " is not registered"
end

-- Messages whose body the hub only shows: everything after the header.
local function opaque(r)
    r:rest(pf.body, r.used)
    return ""
end
bodies[1] = opaque
bodies[2] = opaque
bodies[10] = opaque
bodies[11] = opaque

local HAS_NO_SEQUENCE = { [8] = true, [14] = true, [16] = true }

local function dissect_one(tvb, pinfo, tree)
    local len = tvb:len()
    local item = tree:add(korvel, tvb())
    local r = new_reader(tvb, item, pinfo.in_error_pkt)

    local marker = r:uint(pf.marker, 0, 1, "the marker")
    local code = r:uint(pf.code, 1, 1, "the message code")
    if code == nil then
        item:append_text(", truncated packet")
        return "Truncated packet"
    end
    local name = MESSAGE_NAMES[code]
    if marker ~= MARKER then
        item:add_proto_expert_info(ef.marker, string.format("Marker is 0x%02X, not 0x0B", marker))
    end

    local length_item
    local length = nil
    if r:fits(2, 2, "the Length field") then
        length_item = item:add(pf.length, tvb(2, 2))
        length = tvb(2, 2):uint()
    end

    -- The 4-byte MSG_REQ_GETDATA is the hub's keep-alive, which ends before
    -- the sequence number.
    local keep_alive = code == 11 and len == 4
    local seq = nil
    if name and not HAS_NO_SEQUENCE[code] and not keep_alive then
        seq = r:uint(pf.seq, 4, 2, "the sequence number")
    end

    local info = ""
    if name == nil then
        item:add_proto_expert_info(ef.unknown, string.format("Unknown message code %d", code))
        r:rest(pf.body, 4)
        name = string.format("Unknown message code %d", code)
    elseif not r.short then
        info = bodies[code](r) or ""
    end
    if keep_alive then info = "keep-alive" end

    if r.used < len then
        item:add(pf.extra, tvb(r.used))
    end
    if length_item and length ~= len then
        r:expert(length_item, ef.length,
            string.format("Length field says %d bytes, %d received", length, len))
    end

    local text = name
    if seq then text = text .. " Seq=" .. seq end
    if info ~= "" then text = text .. " " .. info end
    if r.short then text = text .. " [cut short]" end
    item:append_text(", " .. text)
    return text
end

-- The length of the packet at offset in a TCP stream, nil while its header
-- is incomplete. A Length the hub could not have read in one go (shorter
-- than the header, longer than its 2048-byte read) is not trusted: the rest
-- of the segment is then the packet, as the hub would take it.
local function stream_packet_length(tvb, offset)
    local available = tvb:len() - offset
    if available < HEADER_SIZE then return nil end
    local length = tvb(offset + 2, 2):uint()
    if length < HEADER_SIZE or length > MAX_TCP_READ then return available end
    return length
end

-- Every packet of a TCP segment, and the start of one that continues in the
-- next segments left for reassembly.
local function dissect_stream(tvb, pinfo, tree)
    local total = tvb:len()
    local offset = 0
    local texts = {}
    while offset < total do
        local available = total - offset
        local length = stream_packet_length(tvb, offset)
        if length == nil or length > available then
            if pinfo.can_desegment > 0 then
                pinfo.desegment_offset = offset
                pinfo.desegment_len = length and (length - available) or DESEGMENT_ONE_MORE_SEGMENT
                break
            end
            length = available
        end
        texts[#texts + 1] = dissect_one(tvb(offset, length):tvb(), pinfo, tree)
        offset = offset + length
    end
    if #texts > 0 then
        pinfo.cols.protocol = "KORVEL"
        pinfo.cols.info = table.concat(texts, "; ")
    end
    return total
end

local function dissect(tvb, pinfo, tree)
    local len = tvb:len()
    if len == 0 then return 0 end
    if pinfo.port_type == PT_TCP then return dissect_stream(tvb, pinfo, tree) end
    pinfo.cols.protocol = "KORVEL"
    pinfo.cols.info = dissect_one(tvb, pinfo, tree)
    return len
end
korvel.dissector = dissect

-- The sizes a packet of each code can have, for recognising the protocol on
-- ports that are not the hub's: a fixed size, a least size, or a base size
-- and a step per list entry.
local SHAPES = {
    [1] = { size = 6 },
    [2] = { least = 6 },
    [3] = { size = 70 },
    [4] = { base = 56, step = STATION_SIZE },
    [5] = { least = 6 },
    [6] = { size = 38 },
    [7] = { base = 8, step = STATION_SIZE },
    [8] = { base = 38, step = ENTRY_SIZE },
    [9] = { least = 46 },
    [10] = { least = 6 },
    [11] = { least = 4 },
    [12] = { base = 56, step = STATION_SIZE },
    [13] = { size = 40 },
    [14] = { base = 38, step = ENTRY_SIZE },
    [15] = { size = 74 },
    [16] = { base = 38, step = ENTRY_SIZE },
}

local SYSTEM_ID_AT = { [3] = 6, [4] = 6, [6] = 6, [8] = 4, [9] = 6, [12] = 6, [13] = 6, [14] = 4, [15] = 6, [16] = 4 }

local function fits_shape(code, length)
    local shape = SHAPES[code]
    if shape == nil then return false end
    if shape.size then return length == shape.size end
    if shape.least then return length >= shape.least end
    return length >= shape.base and (length - shape.base) % shape.step == 0
end

-- A System ID is text padded with NULs: no control character before the
-- first NUL, nothing but NULs after it. Only the bytes present are judged.
local function looks_like_system_id(tvb, offset)
    if offset >= tvb:len() then return true end
    local raw = tvb:raw(offset, math.min(SYSTEM_ID_SIZE, tvb:len() - offset))
    local nul = raw:find("\0", 1, true)
    local text = nul and raw:sub(1, nul - 1) or raw
    if text:find("[%c]") then return false end
    return nul == nil or not raw:find("[^\0]", nul)
end

-- Whether the bytes from offset start a packet of `size` bytes (its Length
-- when size is nil): the marker, a known code, a Length that suits the code
-- and, where the code has one, a System ID.
local function starts_packet(tvb, offset, size)
    if tvb:len() - offset < HEADER_SIZE or tvb(offset, 1):uint() ~= MARKER then return false end
    local code = tvb(offset + 1, 1):uint()
    local length = tvb(offset + 2, 2):uint()
    if (size and length ~= size) or length > MAX_TCP_READ or not fits_shape(code, length) then return false end
    return SYSTEM_ID_AT[code] == nil or looks_like_system_id(tvb, offset + SYSTEM_ID_AT[code])
end

-- A datagram is recognised when its Length is its size; a copy quoted in an
-- ICMP error, which may be cut short, when its Length is no less.
local function heuristic_udp(tvb, pinfo, tree)
    local size = tvb:reported_len()
    if pinfo.in_error_pkt and tvb:len() >= HEADER_SIZE then size = math.max(size, tvb(2, 2):uint()) end
    if not starts_packet(tvb, 0, size) then return false end
    dissect(tvb, pinfo, tree)
    return true
end

-- A segment is recognised when it is a run of whole packets, the last of
-- which may go on in the next segments if its code fixes its size; the
-- connection is then decoded as a whole.
local function heuristic_tcp(tvb, pinfo, tree)
    local offset = 0
    repeat
        if not starts_packet(tvb, offset) then return false end
        local length = tvb(offset + 2, 2):uint()
        if offset + length > tvb:len() and SHAPES[tvb(offset + 1, 1):uint()].least then return false end
        offset = offset + length
    until offset >= tvb:len()
    pinfo.conversation = korvel
    dissect(tvb, pinfo, tree)
    return true
end

korvel.prefs.base_port = Pref.uint("Base port", 9000,
    "The hub's base port B: TCP B, UDP B+1, B+3 and B+4 are decoded, and UDP 9003 and 9004 always")
korvel.prefs.extra_ports = Pref.range("Extra ports", "",
    "More ports to decode, TCP and UDP alike, such as the ports P and P+1 where QVX systems receive forwards and keep-alives (for example 5060-5061,9100)",
    65535)

local registered = { tcp = {}, udp = {} }
local registered_extra = ""

local function register_ports()
    local tables = { tcp = DissectorTable.get("tcp.port"), udp = DissectorTable.get("udp.port") }
    for transport, ports in pairs(registered) do
        for _, port in ipairs(ports) do tables[transport]:remove(port, korvel) end
        if registered_extra ~= "" then tables[transport]:remove(registered_extra, korvel) end
    end
    local b = korvel.prefs.base_port
    local wanted = { tcp = { b }, udp = { b + 1, b + 3, b + 4, VELKA_DATA_PORT, VELKA_ACK_PORT } }
    registered = { tcp = {}, udp = {} }
    registered_extra = korvel.prefs.extra_ports
    for transport, ports in pairs(wanted) do
        local seen = {}
        for _, port in ipairs(ports) do
            if port >= 1 and port <= 65535 and not seen[port] then
                seen[port] = true
                tables[transport]:add(port, korvel)
                table.insert(registered[transport], port)
            end
        end
        if registered_extra ~= "" then tables[transport]:add(registered_extra, korvel) end
    end
end

function korvel.prefs_changed()
    register_ports()
end

register_ports()
korvel:register_heuristic("udp", heuristic_udp)
korvel:register_heuristic("tcp", heuristic_tcp)
