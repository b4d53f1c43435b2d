-- Veltrabox capture records for Wireshark and tshark: the telegrams that a Veltrabox server's
-- capture port (CapturePort) streams, both ways, as pcap with link type LINKTYPE_USER0 (147).
-- Each record: version, direction, the instance's port, a record number, then the telegram as
-- the LON network interface carries it. Decodes every message kind that veltraclient -D knows,
-- under the same names, and hands each layer-2 packet (LPDU) to Wireshark's own "lon".
--
-- Install: copy to the personal Lua plugin folder (Help > About > Folders), or load it with
-- tshark -X lua_script:veltrabox.lua. Capture live: wireshark -k -i TCP@gateway:5003.

local p = Proto("veltrabox", "Veltrabox LON telegram")

local DIRECTIONS = { [0] = "from the bus", [1] = "to the bus" }
local SERVICES = { [0] = "ACKD", [1] = "UNACKD_RPT", [2] = "UNACKD", [3] = "REQUEST" }
local QUEUES = {
    [0x2] = "niTQ", [0x3] = "niTQ_P", [0x4] = "niNTQ", [0x5] = "niNTQ_P",
    [0x6] = "niRESPONSE", [0x8] = "niINCOMING",
}
local LAYER2 = { [0x1A] = "layer-2 packet", [0x1B] = "layer-2 mode 1 packet",
                 [0x1C] = "layer-2 mode 2 packet" }
local WHOLE_BYTE = {
    [0x00] = "null", [0x30] = "time-out / error", [0x31] = "CRC error",
    [0x40] = "0x40: CRC / powerline phase mode", [0x50] = "reset", [0x51] = "initiate",
    [0x52] = "challenge", [0x53] = "reply",
    [0x60] = "flush-cancel (down) / flush complete (up)", [0x70] = "online",
    [0x80] = "offline", [0x90] = "flush", [0xA0] = "flush, ignore comm", [0xB0] = "sleep",
    [0xC0] = "ack", [0xC1] = "nack", [0xD0] = "mode layer 5", [0xD1] = "mode layer 2",
    [0xE0] = "status", [0xE5] = "0xE5: IRQ enable / layer mode", [0xE6] = "service pin",
    [0xE8] = "transmit ID",
}
local MANAGEMENT = {
    [0x60] = "expanded", [0x61] = "QueryId", [0x62] = "RespondToQuery", [0x63] = "UpdateDomain",
    [0x64] = "LeaveDomain", [0x65] = "UpdateKey", [0x66] = "UpdateAddr", [0x67] = "QueryAddr",
    [0x68] = "QueryNvCnfg", [0x69] = "UpdateGroupAddr", [0x6A] = "QueryDomain",
    [0x6B] = "UpdateNvCnfg", [0x6C] = "SetNodeMode", [0x6D] = "ReadMemory",
    [0x6E] = "WriteMemory", [0x6F] = "ChecksumRecalc", [0x70] = "Wink",
    [0x71] = "MemoryRefresh", [0x72] = "QuerySnvt", [0x73] = "NvFetch",
    [0x7D] = "DeviceEscape", [0x7E] = "RouterEscape", [0x7F] = "ServicePin",
}
local DIAGNOSTICS = { [0x51] = "QueryStatus", [0x52] = "Proxy", [0x53] = "ClearStatus",
                      [0x54] = "QueryXcvr", [0x56] = "QueryStatusFlex" }

local f = p.fields
f.version = ProtoField.uint8("veltrabox.version", "Record version")
f.direction = ProtoField.uint8("veltrabox.direction", "Direction", base.DEC, DIRECTIONS)
f.port = ProtoField.uint16("veltrabox.port", "Instance port")
f.record = ProtoField.uint32("veltrabox.record", "Record number")
f.lost = ProtoField.uint32("veltrabox.lost", "Records lost before this one")
f.telegram = ProtoField.bytes("veltrabox.telegram", "Telegram")
f.command = ProtoField.uint8("veltrabox.command", "Command", base.HEX)
f.command_name = ProtoField.string("veltrabox.command_name", "Command name")
f.length = ProtoField.uint16("veltrabox.length", "Length")
f.queue = ProtoField.uint8("veltrabox.queue", "Queue", base.HEX, QUEUES)
f.tag = ProtoField.uint8("veltrabox.tag", "Tag")
f.service = ProtoField.uint8("veltrabox.service", "Service type", base.DEC, SERVICES)
f.auth = ProtoField.bool("veltrabox.auth", "Authenticated")
f.interface_nv = ProtoField.bool("veltrabox.interface_nv", "Interface's own NV")
f.response = ProtoField.bool("veltrabox.response", "Response")
f.pool = ProtoField.bool("veltrabox.pool", "Pool")
f.alt_path = ProtoField.bool("veltrabox.alt_path", "Alternate path")
f.addr_mode = ProtoField.bool("veltrabox.addr_mode", "Address mode")
f.completion = ProtoField.uint8("veltrabox.completion", "Completion code", base.DEC,
                                { [0] = "none", [1] = "success", [2] = "failure" })
f.path = ProtoField.bool("veltrabox.path", "Path")
f.priority = ProtoField.bool("veltrabox.priority", "Priority")
f.pdu_length = ProtoField.uint8("veltrabox.pdu_length", "PDU length")
f.address = ProtoField.string("veltrabox.address", "Address")
f.src_subnet = ProtoField.uint8("veltrabox.src_subnet", "Source subnet")
f.src_node = ProtoField.uint8("veltrabox.src_node", "Source node")
f.dst_subnet = ProtoField.uint8("veltrabox.dst_subnet", "Destination subnet")
f.dst_node = ProtoField.uint8("veltrabox.dst_node", "Destination node")
f.group = ProtoField.uint8("veltrabox.group", "Group")
f.neuron_id = ProtoField.bytes("veltrabox.neuron_id", "Neuron ID")
f.domain = ProtoField.uint8("veltrabox.domain", "Domain index")
f.apdu_class = ProtoField.string("veltrabox.apdu_class", "PDU class")
f.selector = ProtoField.uint16("veltrabox.selector", "NV selector", base.HEX)
f.code = ProtoField.uint8("veltrabox.code", "Message code", base.HEX)
f.code_name = ProtoField.string("veltrabox.code_name", "Message")
f.mem_mode = ProtoField.uint8("veltrabox.mem.mode", "Memory address mode")
f.mem_address = ProtoField.uint16("veltrabox.mem.address", "Memory address", base.HEX)
f.mem_count = ProtoField.uint8("veltrabox.mem.count", "Memory count")
f.mem_form = ProtoField.uint8("veltrabox.mem.form", "Memory write form", base.HEX)
f.data = ProtoField.bytes("veltrabox.data", "Data", base.SPACE)
f.crc = ProtoField.bytes("veltrabox.crc", "CRC")
f.misfit = ProtoField.string("veltrabox.misfit", "Does not fit")

local ef_lost = ProtoExpert.new("veltrabox.lost.expert", "Records lost",
                                expert.group.SEQUENCE, expert.severity.WARN)
local ef_misfit = ProtoExpert.new("veltrabox.misfit.expert", "Telegram does not fit its layout",
                                  expert.group.MALFORMED, expert.severity.WARN)
p.experts = { ef_lost, ef_misfit }

-- Wireshark's own, which registers only under CN/IP's protocol 0 (LON); looked up once every
-- dissector is registered.
local lon
local band, rshift = bit.band, bit.rshift

-- Per capture: the last record number of each port, and what each frame found lost.
local last_record, lost_of = {}, {}
function p.init()
    last_record, lost_of = {}, {}
end

local function hex(tvb)
    local out = {}
    for i = 0, tvb:len() - 1 do out[#out + 1] = string.format("%02X", tvb(i, 1):uint()) end
    return table.concat(out, " ")
end

local function node(subnet, n) return subnet .. "/" .. n end
local function domain(flags) return " domain " .. (band(flags, 0x80) ~= 0 and "1" or "0") end
local function flex(r0) return domain(r0) .. (band(r0, 0x40) ~= 0 and " (flex)" or "") end

local function misfit(tree, text)
    tree:add(f.misfit, text)
    tree:add_proto_expert_info(ef_misfit, text)
end

-- The 11 address bytes of a message to the network; its text as veltraclient -D shows it.
local function outgoing(tree, a)
    local b = function(i) return a(i, 1):uint() end
    if b(0) == 0 then return "unassigned" end
    if b(0) == 127 then return "to the local interface" end
    if band(b(0), 0x80) ~= 0 then
        tree:add(f.group, a(4, 1))
        return "to group " .. b(4) .. " member " .. band(b(1), 0x7F) .. " of " .. band(b(0), 0x7F) ..
               "," .. domain(b(1)) .. ", retry " .. band(b(2), 0x0F) .. ", repeat timer " ..
               rshift(b(2), 4) .. ", transmit timer " .. band(b(3), 0x0F)
    end
    local kind = band(b(0), 0x03)
    if kind == 1 then
        tree:add(f.dst_subnet, a(4, 1)); tree:add(f.dst_node, a(1, 1), band(b(1), 0x7F))
        return "to " .. node(b(4), band(b(1), 0x7F)) .. "," .. domain(b(1))
    elseif kind == 2 then
        tree:add(f.neuron_id, a(5, 6))
        return "to Neuron ID " .. hex(a(5, 6)) ..
               (b(4) ~= 0 and " in subnet " .. b(4) or " through every router")
    elseif kind == 3 then
        return "broadcast to " .. (b(4) ~= 0 and "subnet " .. b(4) or "the whole domain") .. "," ..
               domain(b(1)) .. ", backlog " .. band(b(1), 0x3F) .. ", at most " ..
               rshift(b(3), 4) .. " responses"
    end
    return string.format("address type 0x%02X unknown", b(0))
end

-- A message from the network: the source, then the destination it was sent to.
local function incoming(tree, r)
    local b = function(i) return r(i, 1):uint() end
    tree:add(f.src_subnet, r(1, 1)); tree:add(f.src_node, r(2, 1), band(b(2), 0x7F))
    local line = "from " .. node(b(1), band(b(2), 0x7F))
    local format = band(b(0), 0x3F)
    if format == 0 then
        line = line .. (b(3) ~= 0 and " broadcast to subnet " .. b(3) or " broadcast to the domain")
    elseif format == 1 then
        tree:add(f.group, r(3, 1))
        line = line .. " to group " .. b(3)
    elseif format == 2 then
        tree:add(f.dst_subnet, r(3, 1)); tree:add(f.dst_node, r(4, 1))
        line = line .. " to " .. node(b(3), b(4))
    elseif format == 3 then
        tree:add(f.neuron_id, r(4, 6))
        line = line .. " to Neuron ID " .. hex(r(4, 6)) .. " in subnet " .. b(3)
    else
        return line .. string.format(", address format %u unknown", format)
    end
    return line .. "," .. flex(b(0))
end

local function response_address(tree, r)
    local b = function(i) return r(i, 1):uint() end
    tree:add(f.src_subnet, r(1, 1)); tree:add(f.src_node, r(2, 1), band(b(2), 0x7F))
    tree:add(f.dst_subnet, r(3, 1)); tree:add(f.dst_node, r(4, 1))
    local line = "from " .. node(b(1), band(b(2), 0x7F)) .. " to " .. node(b(3), b(4))
    if band(b(2), 0x80) == 0 then
        tree:add(f.group, r(5, 1))
        line = line .. " for group " .. b(5) .. " member " .. band(b(6), 0x3F)
    end
    return line .. "," .. flex(b(0))
end

-- A response code below 0x40 names every request it may answer.
local function response_name(code)
    local outcome = band(code, 0x20) ~= 0 and "success" or "failure"
    local names = {}
    local m = MANAGEMENT[0x60 + band(code, 0x1F)]
    if m then names[#names + 1] = m .. " " .. outcome end
    if band(code, 0x10) ~= 0 then
        local d = DIAGNOSTICS[0x50 + band(code, 0x0F)]
        if d then names[#names + 1] = d .. " " .. outcome end
    end
    if #names == 0 then return string.format("response 0x%02X", code) end
    return table.concat(names, " / ")
end

local function apdu(tree, pdu, response)
    if pdu:len() == 0 then return end
    local code = pdu(0, 1):uint()
    local variable = code >= 0x80
    if variable then
        tree:add(f.apdu_class, pdu(0, 1), code >= 0xC0 and "NV poll" or "NV update")
        if pdu:len() < 2 then
            tree:add(f.code, pdu(0, 1))
            return misfit(tree, "ends inside the selector")
        end
        tree:add(f.selector, pdu(0, 2), band(pdu(0, 2):uint(), 0x3FFF))
        if pdu:len() > 2 then tree:add(f.data, pdu(2)) end
        return
    end
    tree:add(f.code, pdu(0, 1))
    local name
    if response and code < 0x40 then
        tree:add(f.apdu_class, pdu(0, 1), "response")
        name = response_name(code)
    elseif code >= 0x60 then
        tree:add(f.apdu_class, pdu(0, 1), "network management")
        name = MANAGEMENT[code] or string.format("management 0x%02X", code)
    elseif code >= 0x50 then
        tree:add(f.apdu_class, pdu(0, 1), "network diagnostics")
        name = DIAGNOSTICS[code] or string.format("diagnostics 0x%02X", code)
    elseif code >= 0x40 then
        tree:add(f.apdu_class, pdu(0, 1), "foreign frame")
        name = string.format("foreign frame 0x%02X", code)
    else
        tree:add(f.apdu_class, pdu(0, 1), "application message")
        name = string.format("application message 0x%02X", code)
    end
    tree:add(f.code_name, pdu(0, 1), name)
    local rest = pdu:len() - 1
    if rest > 0 then tree:add(f.data, pdu(1)) end
    if code ~= 0x6D and code ~= 0x6E then return end
    -- ReadMemory, WriteMemory: address mode, address, count; WriteMemory a form and the data.
    local fixed = code == 0x6E and 5 or 4
    if rest < fixed then return misfit(tree, "ends inside its fields") end
    tree:add(f.mem_mode, pdu(1, 1)); tree:add(f.mem_address, pdu(2, 2))
    tree:add(f.mem_count, pdu(4, 1))
    local after, count = rest - fixed, pdu(4, 1):uint()
    if code == 0x6D and after > 0 then
        misfit(tree, after .. (after == 1 and " byte" or " bytes") .. " after the count")
    elseif code == 0x6E then
        tree:add(f.mem_form, pdu(5, 1))
        if after ~= count then
            misfit(tree, "the data is " .. after .. (after == 1 and " byte" or " bytes"))
        end
    end
end

-- niCOMM and niNETMGMT: header, optional address, application PDU; `length` what byte 1 said.
local function message(tree, command, length, body)
    local queue = band(command, 0x0F)
    tree:add(f.queue, queue)
    if not QUEUES[queue] then return misfit(tree, "queue unknown, not decoded") end
    if body:len() < 3 then return misfit(tree, "ends inside the header") end
    local h0, h1 = body(0, 1):uint(), body(1, 1):uint()
    tree:add(f.tag, body(0, 1), band(h0, 0x0F))
    tree:add(f.auth, body(0, 1), band(h0, 0x10) ~= 0)
    tree:add(f.service, body(0, 1), band(rshift(h0, 5), 0x03))
    tree:add(f.interface_nv, body(0, 1), band(h0, 0x80) ~= 0)
    tree:add(f.response, body(1, 1), band(h1, 0x01) ~= 0)
    tree:add(f.pool, body(1, 1), band(h1, 0x02) ~= 0)
    tree:add(f.alt_path, body(1, 1), band(h1, 0x04) ~= 0)
    tree:add(f.addr_mode, body(1, 1), band(h1, 0x08) ~= 0)
    tree:add(f.completion, body(1, 1), band(rshift(h1, 4), 0x03))
    tree:add(f.path, body(1, 1), band(h1, 0x40) ~= 0)
    tree:add(f.priority, body(1, 1), band(h1, 0x80) ~= 0)
    tree:add(f.pdu_length, body(2, 1))
    local pdu_size = body(2, 1):uint()
    local response = band(h1, 0x01) ~= 0
    local addressed = length == 14 + pdu_size
    if not addressed and length ~= 3 + pdu_size then
        return misfit(tree, "length " .. length .. " is neither 3 nor 14 + PDU length " .. pdu_size)
    end
    local at = 3
    if addressed then
        if body:len() < 14 then return misfit(tree, "ends inside the address") end
        local a = body(3, 11)
        local text
        if rshift(command, 4) == 2 then
            text = "to its own node"
        elseif response then
            text = response_address(tree, a)
        elseif queue == 0x8 then
            text = incoming(tree, a)
        elseif queue == 0x6 then
            text = "completion event"
        else
            text = outgoing(tree, a)
        end
        tree:add(f.address, a, text)
        at = 14
    end
    if body:len() > at then apdu(tree, body(at), response) end
end

function p.dissector(tvb, pinfo, root)
    if tvb:len() < 8 then return 0 end
    pinfo.cols.protocol = "Veltrabox"
    local tree = root:add(p, tvb())
    local direction = tvb(1, 1):uint()
    tree:add(f.version, tvb(0, 1))
    tree:add(f.direction, tvb(1, 1))
    tree:add(f.port, tvb(2, 2))
    tree:add(f.record, tvb(4, 4))
    pinfo.p2p_dir = direction == 1 and P2P_DIR_SENT or P2P_DIR_RECV
    local port, record = tvb(2, 2):uint(), tvb(4, 4):uint()
    if not pinfo.visited then
        local last = last_record[port]
        if last and record ~= last + 1 then lost_of[pinfo.number] = (record - last - 1) % 2^32 end
        last_record[port] = record
    end
    if lost_of[pinfo.number] then
        tree:add(f.lost, lost_of[pinfo.number])
        tree:add_proto_expert_info(ef_lost, lost_of[pinfo.number] .. " records lost before this one")
    end
    if tvb:len() == 8 then return misfit(tree, "empty") end
    local t = tvb(8)
    tree:add(f.telegram, t)
    local command = t(0, 1):uint()
    tree:add(f.command, t(0, 1))
    local is_message = (rshift(command, 4) == 1 or rshift(command, 4) == 2) and not LAYER2[command]
    local name = LAYER2[command] or
                 (is_message and (rshift(command, 4) == 2 and "niNETMGMT" or "niCOMM")) or
                 WHOLE_BYTE[command] or string.format("command 0x%02X", command)
    if is_message and QUEUES[band(command, 0x0F)] then name = name .. "|" .. QUEUES[band(command, 0x0F)] end
    tree:add(f.command_name, t(0, 1), name)
    local summary = (direction == 1 and "to the bus: " or "from the bus: ") .. name
    pinfo.cols.info = summary
    if t:len() < 2 then return misfit(tree, "no length byte") end
    local length, body = t(1, 1):uint(), t:len() > 2 and t(2) or nil
    tree:add(f.length, t(1, 1))
    if length == 0xFF then
        -- A 16-bit length follows, in either byte order: whichever matches what came.
        if not body or body:len() < 2 then return misfit(tree, "ends inside the extended length") end
        local rest = body:len() - 2
        if body(0, 2):le_uint() ~= rest and body(0, 2):uint() ~= rest then
            return misfit(tree, "extended length fits neither byte order")
        end
        length, body = rest, rest > 0 and body(2) or nil
    end
    local came = body and body:len() or 0
    if came > length then
        misfit(tree, (came - length) .. (came - length == 1 and " byte" or " bytes") .. " beyond the length")
        body = length > 0 and body(0, length) or nil
    elseif came < length then
        misfit(tree, (length - came) .. " of " .. length .. " bytes missing")
        if LAYER2[command] then return end
    end
    if not body then return end
    if LAYER2[command] then
        if body:len() < 2 then return misfit(tree, "no room for the CRC") end
        tree:add(f.crc, body(body:len() - 2))
        lon = lon or DissectorTable.get("cnip.protocol"):get_dissector(0)
        if body:len() > 2 then
            lon:call(body(0, body:len() - 2):tvb(), pinfo, root)
            pinfo.cols.info:prepend(summary .. "; ")
        end
        pinfo.cols.protocol = "Veltrabox"
    elseif is_message then
        message(tree, command, length, body)
    else
        tree:add(f.data, body)
    end
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, p)
