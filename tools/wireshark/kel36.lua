-- Wireshark dissector for kel36 line captures (pcapng, link type 147 =
-- LINKTYPE_USER0): the 16-byte packet header that kel36-host writes before
-- every request, reply and marker, the request frames and replies of the
-- serial protocol, and the published record. The format is docs/capture.md;
-- the frames and the register map are docs/protocol.md and docs/record.md.
--
-- Load it for one run:  tshark -X lua_script:kel36.lua -r line.pcapng
-- or copy it into ~/.local/lib/wireshark/plugins/ (see docs/capture.md).

local kel36 = Proto("kel36", "Kel36 generator-set controller line")

local MASK = 0x9E          -- the protocol's fixed XOR mask
local NONE_REGISTER = 65535
local REPLY_LENGTH = 4

local KIND_NAMES = {
    [1] = "request", [2] = "reply", [16] = "round start", [17] = "record published",
    [18] = "stall", [19] = "line lost", [20] = "line reopened",
}
local STALL_REASONS = { [0] = "none", [1] = "no reply", [2] = "refused", [3] = "write blocked" }

-- One entry per register: its name, and for a register that completes a
-- quantity (the highest-numbered of the registers it is made of, as a round
-- asks in ascending order) how the value is computed. Kept in step with the
-- "Register map" table of docs/protocol.md; tests/tools/wireshark checks the
-- names against that table and the values against a record the driver
-- published.
local REGISTERS = {}
local function plain(n, name) REGISTERS[n] = { name = name } end
local function part(n, name, quantity) REGISTERS[n] = { name = name, quantity = quantity } end

local QUANTITIES = {
    uab = { last = 5, unit = "V", format = "%.2f", value = function(r) return (r[5] * 256 + r[2]) / 100 end },
    ubc = { last = 6, unit = "V", format = "%.2f", value = function(r) return (r[6] * 256 + r[3]) / 100 end },
    uca = { last = 7, unit = "V", format = "%.2f", value = function(r) return (r[7] * 256 + r[4]) / 100 end },
    frequency = { last = 9, unit = "Hz", format = "%.1f", value = function(r) return r[8] + r[9] / 10 end },
    digits_r14_r19 = { last = 19, unit = "", format = "%.1f", value = function(r)
        return r[14] / 10 + r[15] + 10 * r[16] + 100 * r[17] + 1000 * r[18] + 10000 * r[19] end },
    digits_r20_r25 = { last = 25, unit = "", format = "%.0f", value = function(r)
        return r[20] + 10 * r[21] + 100 * r[22] + 1000 * r[23] + 10000 * r[24] + 100000 * r[25] end },
    pair_r27_r28 = { last = 28, unit = "", format = "%.0f", value = function(r) return r[27] * 256 + r[28] end },
    pair_r45_r42 = { last = 45, unit = "", format = "%.0f", value = function(r) return r[45] * 256 + r[42] end },
    pair_r46_r43 = { last = 46, unit = "", format = "%.0f", value = function(r) return r[46] * 256 + r[43] end },
    pair_r47_r44 = { last = 47, unit = "", format = "%.0f", value = function(r) return r[47] * 256 + r[44] end },
    digits_r52_r57 = { last = 57, unit = "", format = "%.1f", value = function(r)
        return r[52] / 10 + r[53] + 10 * r[54] + 100 * r[55] + 1000 * r[56] + 10000 * r[57] end },
    pair_r59_r58 = { last = 59, unit = "", format = "%.0f", value = function(r)
        local v = r[59] * 256 + r[58]
        if v >= 32768 then v = v - 65536 end
        return v end },
}

plain(0, "reg0")
plain(1, "not polled")
part(2, "uab low byte", "uab");  part(5, "uab high byte", "uab")
part(3, "ubc low byte", "ubc");  part(6, "ubc high byte", "ubc")
part(4, "uca low byte", "uca");  part(7, "uca high byte", "uca")
part(8, "frequency whole Hz", "frequency"); part(9, "frequency tenths", "frequency")
REGISTERS[10] = { name = "ua", unit = "V", scale = 1 }
REGISTERS[11] = { name = "ub", unit = "V", scale = 1 }
REGISTERS[12] = { name = "uc", unit = "V", scale = 1 }
plain(13, "reg13")
local digit_weights = { "tenths", "units", "tens", "hundreds", "thousands", "ten thousands" }
for i = 0, 5 do part(14 + i, "digits_r14_r19 " .. digit_weights[i + 1], "digits_r14_r19") end
local whole_weights = { "units", "tens", "hundreds", "thousands", "ten thousands", "hundred thousands" }
for i = 0, 5 do part(20 + i, "digits_r20_r25 " .. whole_weights[i + 1], "digits_r20_r25") end
plain(26, "reg26")
part(27, "pair_r27_r28 high byte", "pair_r27_r28"); part(28, "pair_r27_r28 low byte", "pair_r27_r28")
REGISTERS[29] = { name = "battery_voltage", unit = "V", scale = 0.2, format = "%.1f" }
plain(30, "reg30")
for n = 31, 33 do plain(n, "reg" .. n) end
REGISTERS[34] = { name = "status_a", alarms = { [5] = "a_5", [6] = "a_6", [7] = "a_7" } }
REGISTERS[35] = { name = "status_b", alarms = { [2] = "b_2", [6] = "b_6" } }
for n = 36, 41 do plain(n, "reg" .. n) end
part(42, "pair_r45_r42 low byte", "pair_r45_r42"); part(45, "pair_r45_r42 high byte", "pair_r45_r42")
part(43, "pair_r46_r43 low byte", "pair_r46_r43"); part(46, "pair_r46_r43 high byte", "pair_r46_r43")
part(44, "pair_r47_r44 low byte", "pair_r47_r44"); part(47, "pair_r47_r44 high byte", "pair_r47_r44")
for n = 48, 50 do plain(n, "reg" .. n) end
plain(51, "not polled")
for i = 0, 5 do part(52 + i, "digits_r52_r57 " .. digit_weights[i + 1], "digits_r52_r57") end
part(58, "pair_r59_r58 low byte", "pair_r59_r58"); part(59, "pair_r59_r58 high byte", "pair_r59_r58")
for n = 60, 64 do plain(n, "reg" .. n) end

local f = kel36.fields
f.version = ProtoField.uint8("kel36.version", "Format version")
f.kind = ProtoField.uint8("kel36.kind", "Kind", base.DEC, KIND_NAMES)
f.device = ProtoField.uint8("kel36.device", "Device index", base.DEC)
f.address = ProtoField.uint8("kel36.address", "Device address", base.DEC)
f.mono_ns = ProtoField.uint64("kel36.mono_ns", "Monotonic clock (ns)", base.DEC)
f.register = ProtoField.uint16("kel36.register", "Register", base.DEC)
f.flags = ProtoField.uint8("kel36.flags", "Flags", base.HEX)
f.discarded = ProtoField.bool("kel36.flags.discarded", "Discarded (no round waited for it)", 8, nil, 0x01)
f.sniffed = ProtoField.bool("kel36.flags.sniffed", "Sniffed (direction inferred)", 8, nil, 0x02)
f.noise = ProtoField.bool("kel36.flags.noise", "Noise (sniffed bytes that fit no frame)", 8, nil, 0x04)
f.stall_reason = ProtoField.uint8("kel36.stall_reason", "Stall reason", base.DEC, STALL_REASONS)
f.round = ProtoField.uint32("kel36.round", "Round", base.DEC)
f.step = ProtoField.uint16("kel36.step", "Poll step", base.DEC)
f.text = ProtoField.string("kel36.text", "Reason")
f.frame_address = ProtoField.uint8("kel36.frame.address", "Address in the frame", base.DEC)
f.frame_register = ProtoField.uint8("kel36.frame.register", "Register in the frame", base.DEC)
f.register_name = ProtoField.string("kel36.register_name", "Register name")
f.value = ProtoField.uint8("kel36.value", "Register value", base.HEX_DEC)
f.echo = ProtoField.bool("kel36.echo", "Echoes the awaited register")
f.answers = ProtoField.uint8("kel36.answers", "Register named by bytes 2-3", base.DEC)
f.decoded = ProtoField.string("kel36.decoded", "Decoded")
f.partial = ProtoField.bool("kel36.partial", "Partial reply")
f.reply_bytes = ProtoField.string("kel36.reply_bytes", "Reply (gathered)")
f.since_request = ProtoField.double("kel36.since_request_ms", "Since the request (ms, monotonic)")
f.record = ProtoField.bytes("kel36.record", "Record")
f.data_id = ProtoField.uint32("kel36.record.data_id", "data_id", base.DEC)
f.rec_uab = ProtoField.float("kel36.record.uab", "uab (V)")
f.rec_ubc = ProtoField.float("kel36.record.ubc", "ubc (V)")
f.rec_uca = ProtoField.float("kel36.record.uca", "uca (V)")
f.rec_frequency = ProtoField.float("kel36.record.frequency", "frequency (Hz)")
f.rec_ua = ProtoField.float("kel36.record.ua", "ua (V)")
f.rec_ub = ProtoField.float("kel36.record.ub", "ub (V)")
f.rec_uc = ProtoField.float("kel36.record.uc", "uc (V)")
f.rec_battery = ProtoField.float("kel36.record.battery_voltage", "battery_voltage (V)")
f.rec_status_a = ProtoField.uint8("kel36.record.status_a", "status_a", base.HEX)
f.rec_status_b = ProtoField.uint8("kel36.record.status_b", "status_b", base.HEX)
f.rec_ttime = ProtoField.string("kel36.record.ttime", "ttime")

local e_version = ProtoExpert.new("kel36.version.unknown", "Unknown capture format version",
    expert.group.MALFORMED, expert.severity.ERROR)
local e_short = ProtoExpert.new("kel36.short", "Packet too short for its kind",
    expert.group.MALFORMED, expert.severity.ERROR)
local e_partial = ProtoExpert.new("kel36.partial.expert", "Part of a reply (one packet per read)",
    expert.group.SEQUENCE, expert.severity.NOTE)
local e_no_echo = ProtoExpert.new("kel36.echo.mismatch", "Reply does not echo the awaited register",
    expert.group.SEQUENCE, expert.severity.WARN)
local e_not_hex = ProtoExpert.new("kel36.not_hex", "Reply bytes 0-1 are not two hex digits",
    expert.group.MALFORMED, expert.severity.WARN)
local e_long = ProtoExpert.new("kel36.overlong", "More than 4 bytes for one reply",
    expert.group.SEQUENCE, expert.severity.WARN)
local e_stall = ProtoExpert.new("kel36.stall.expert", "Round stalled",
    expert.group.SEQUENCE, expert.severity.WARN)
kel36.experts = { e_version, e_short, e_partial, e_no_echo, e_not_hex, e_long, e_stall }

local interface_id = Field.new("frame.interface_id")

-- What a packet means can depend on the ones before it (a reply gathered
-- from several reads, a quantity made of two registers): worked out once,
-- in capture order on the first pass, and kept by frame number.
local lines = {}     -- per line and device: gathered reply bytes, last values
local results = {}   -- frame number -> what the first pass found

function kel36.init()
    lines = {}
    results = {}
end

local function hex_pair(text)
    if not text:match("^%x%x$") then return nil end
    return tonumber(text, 16)
end

local function line_state(key)
    local state = lines[key]
    if not state then
        state = { gathered = "", awaited = NONE_REGISTER, registers = {}, requested_ns = nil }
        lines[key] = state
    end
    return state
end

-- A register value in words, and the quantity it completes, if any.
local function decode_register(reg, value, registers)
    local entry = REGISTERS[reg]
    if not entry then return nil end
    if entry.scale then
        return string.format("%s = " .. (entry.format or "%d") .. " %s", entry.name, value * entry.scale, entry.unit)
    end
    if entry.alarms then
        local active = {}
        for bit = 0, 7 do
            if entry.alarms[bit] and bit32.band(bit32.rshift(value, bit), 1) == 1 then active[#active + 1] = entry.alarms[bit] end
        end
        return string.format("%s = 0x%02X, alarms: %s", entry.name, value,
            #active > 0 and table.concat(active, " ") or "none")
    end
    local quantity = entry.quantity and QUANTITIES[entry.quantity]
    if quantity and quantity.last == reg then
        local r = setmetatable({}, { __index = function(_, n) return registers[n] end })
        local ok, v = pcall(quantity.value, r)
        if ok and v then
            return string.format("%s = " .. quantity.format .. "%s", entry.quantity, v,
                quantity.unit ~= "" and (" " .. quantity.unit) or "")
        end
        return entry.quantity .. ": an earlier register of it is not in the capture"
    end
    return string.format("%s = %d", entry.name, value)
end

local function first_pass_reply(state, payload, header_register, discarded, mono)
    local found = { payload = payload }
    if discarded or header_register == NONE_REGISTER then
        found.unawaited = true
        found.text = payload
        return found
    end
    local before = #state.gathered
    if before >= REPLY_LENGTH then
        -- Not kept: a long run of such bytes must not grow the state.
        found.trailing = true
        return found
    end
    state.gathered = state.gathered .. payload
    found.gathered = state.gathered
    found.packets = (state.packets or 0) + 1
    state.packets = found.packets
    if #state.gathered < REPLY_LENGTH then
        found.partial = true
        return found
    end
    found.overlong = #state.gathered > REPLY_LENGTH
    local reply = state.gathered:sub(1, REPLY_LENGTH)
    found.reply = reply
    local data = hex_pair(reply:sub(1, 2))
    if data then
        found.value = bit32.bxor(data, MASK)
        state.registers[header_register] = found.value
        found.decoded = decode_register(header_register, found.value, state.registers)
    end
    local named = hex_pair(reply:sub(3, 4))
    found.echo = named ~= nil and named == bit32.bxor(header_register, MASK)
    if named and bit32.bxor(named, MASK) <= 64 then found.answers = bit32.bxor(named, MASK) end
    if state.requested_ns and mono then
        found.since_ms = (mono - state.requested_ns):tonumber() / 1e6
    end
    return found
end

local function device_label(device, address)
    if device == 255 then return string.format("addr %d", address) end
    return string.format("device %d", device)
end

local function dissect_request(tvb, tree, label)
    local payload = tvb:raw(16)
    local text = string.format("request %s", label)
    local frame_address = hex_pair(payload:sub(2, 3))
    local frame_register = hex_pair(payload:sub(6, 7))
    if payload:sub(1, 1) == "|" and #payload == 7 and frame_address and frame_register then
        local a = bit32.bxor(frame_address, MASK)
        local r = bit32.bxor(frame_register, MASK)
        tree:add(f.frame_address, tvb(17, 2), a)
        tree:add(f.frame_register, tvb(21, 2), r)
        local entry = REGISTERS[r]
        if entry then tree:add(f.register_name, tvb(21, 2), entry.name) end
        text = string.format("request %s reg %d", label, r)
    else
        text = text .. " (not a request frame)"
    end
    tree:add(f.reply_bytes, tvb(16), payload):set_text("Bytes: " .. payload)
    return text
end

local function dissect_reply(tvb, tree, header_register, found)
    local payload_range = tvb(16)
    if found.unawaited then
        tree:add(f.reply_bytes, payload_range, found.text):set_text("Bytes (awaited by no round): " .. found.text)
        return string.format("reply %s (no round awaited it)", found.text)
    end
    if found.trailing then
        tree:add_proto_expert_info(e_long)
        return string.format("reply %s (after a whole reply)", found.payload)
    end
    tree:add(f.reply_bytes, payload_range, found.gathered)
    if found.partial then
        tree:add(f.partial, payload_range, true)
        tree:add_proto_expert_info(e_partial)
        return string.format("reply part %s (%d of %d bytes)", found.payload, #found.gathered, REPLY_LENGTH)
    end
    local entry = REGISTERS[header_register]
    if entry then tree:add(f.register_name, payload_range, entry.name) end
    if found.value == nil then
        tree:add_proto_expert_info(e_not_hex)
        return string.format("reply %s (not hex)", found.reply)
    end
    tree:add(f.value, payload_range, found.value)
    tree:add(f.echo, payload_range, found.echo)
    if found.answers then tree:add(f.answers, payload_range, found.answers) end
    if not found.echo then tree:add_proto_expert_info(e_no_echo) end
    if found.decoded then tree:add(f.decoded, payload_range, found.decoded) end
    if found.since_ms then tree:add(f.since_request, payload_range, found.since_ms) end
    if found.overlong then tree:add_proto_expert_info(e_long) end
    local notes = {}
    notes[#notes + 1] = found.echo and "echo ok" or "no echo"
    if found.packets and found.packets > 1 then notes[#notes + 1] = found.packets .. " reads" end
    if found.overlong then notes[#notes + 1] = "over-long" end
    return string.format("reply 0x%02X (%s)", found.value, table.concat(notes, ", "))
end

local function dissect_record(tvb, tree)
    local record = tvb(20, 100)
    local rt = tree:add(f.record, record)
    rt:add_le(f.data_id, tvb(20, 4))
    rt:add_le(f.rec_uab, tvb(25, 4))
    rt:add_le(f.rec_ubc, tvb(29, 4))
    rt:add_le(f.rec_uca, tvb(33, 4))
    rt:add_le(f.rec_frequency, tvb(37, 4))
    rt:add_le(f.rec_ua, tvb(41, 4))
    rt:add_le(f.rec_ub, tvb(45, 4))
    rt:add_le(f.rec_uc, tvb(49, 4))
    rt:add_le(f.rec_battery, tvb(68, 4))
    rt:add(f.rec_status_a, tvb(79, 1))
    rt:add(f.rec_status_b, tvb(80, 1))
    local t = tvb(113, 7)
    rt:add(f.rec_ttime, t, string.format("%04d-%02d-%02d %02d:%02d:%02d", t(0, 2):le_uint(),
        t(2, 1):uint(), t(3, 1):uint(), t(4, 1):uint(), t(5, 1):uint(), t(6, 1):uint()))
    return string.format("uab %.2f V, frequency %.1f Hz", tvb(25, 4):le_float(), tvb(37, 4):le_float())
end

function kel36.dissector(tvb, pinfo, root)
    pinfo.cols.protocol = "kel36"
    local tree = root:add(kel36, tvb())
    if tvb:len() < 16 then
        tree:add_proto_expert_info(e_short)
        pinfo.cols.info = "kel36: short packet"
        return
    end
    local version = tvb(0, 1):uint()
    tree:add(f.version, tvb(0, 1))
    if version ~= 1 then
        tree:add_proto_expert_info(e_version)
        pinfo.cols.info = string.format("kel36 format version %d (not known)", version)
        return
    end
    local kind = tvb(1, 1):uint()
    local device = tvb(2, 1):uint()
    local address = tvb(3, 1):uint()
    local register = tvb(12, 2):uint()
    local flags = tvb(14, 1):uint()
    tree:add(f.kind, tvb(1, 1))
    local device_item = tree:add(f.device, tvb(2, 1))
    if device == 255 then device_item:append_text(" (none)") end
    tree:add(f.address, tvb(3, 1))
    tree:add(f.mono_ns, tvb(4, 8))
    local register_item = tree:add(f.register, tvb(12, 2))
    if register == NONE_REGISTER then register_item:append_text(" (none)") end
    local ft = tree:add(f.flags, tvb(14, 1))
    ft:add(f.discarded, tvb(14, 1))
    ft:add(f.sniffed, tvb(14, 1))
    ft:add(f.noise, tvb(14, 1))
    tree:add(f.stall_reason, tvb(15, 1))

    local label = device_label(device, address)
    local key = tostring(interface_id()) .. "/" .. (device == 255 and ("a" .. address) or device)
    local found = results[pinfo.number]
    if not pinfo.visited or found == nil then
        local state = line_state(key)
        local mono = tvb(4, 8):uint64()
        found = {}
        if kind == 1 then
            state.gathered, state.packets = "", 0
            state.awaited = register
            state.requested_ns = mono
        elseif kind == 2 then
            -- Discarded and noise bytes belong to no reply.
            found = first_pass_reply(state, tvb:raw(16), register, bit32.band(flags, 5) ~= 0, mono)
        elseif kind == 16 then
            state.registers = {}
        end
        results[pinfo.number] = found
    end

    local info
    if (kind == 1 or kind == 2) and tvb:len() == 16 then
        tree:add_proto_expert_info(e_short)
        info = string.format("%s %s with no bytes", KIND_NAMES[kind], label)
    elseif bit32.band(flags, 4) ~= 0 then
        info = string.format("noise %s (%d bytes)", label, tvb:len() - 16)
    elseif kind == 1 then
        info = dissect_request(tvb, tree, label)
    elseif kind == 2 then
        info = dissect_reply(tvb, tree, register, found)
    elseif kind >= 16 and kind <= 18 and tvb:len() < 20 then
        tree:add_proto_expert_info(e_short)
        info = string.format("%s (too short)", KIND_NAMES[kind])
    elseif kind == 16 then
        tree:add(f.round, tvb(16, 4))
        info = string.format("round %d start %s", tvb(16, 4):uint(), label)
    elseif kind == 17 then
        tree:add(f.round, tvb(16, 4))
        if tvb:len() < 120 then
            tree:add_proto_expert_info(e_short)
            info = string.format("record round %d (too short)", tvb(16, 4):uint())
        else
            info = string.format("record round %d %s: %s", tvb(16, 4):uint(), label, dissect_record(tvb, tree))
        end
    elseif kind == 18 then
        tree:add(f.round, tvb(16, 4))
        if tvb:len() >= 22 then tree:add(f.step, tvb(20, 2)) end
        tree:add_proto_expert_info(e_stall)
        local reason = STALL_REASONS[tvb(15, 1):uint()] or "unknown reason"
        info = string.format("stall %s %s", reason,
            register == NONE_REGISTER and label or string.format("%s reg %d", label, register))
    elseif kind == 19 then
        local text = tvb:len() > 16 and tvb(16):string(ENC_UTF_8) or ""
        if tvb:len() > 16 then tree:add(f.text, tvb(16), text) end
        info = "line lost: " .. text
    elseif kind == 20 then
        info = "line reopened"
    else
        info = string.format("kind %d (not known; skipped)", kind)
    end
    pinfo.cols.info = info
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, kel36)
