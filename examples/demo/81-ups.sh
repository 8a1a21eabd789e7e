# Demo tour, kvinet ups: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# The parcel tracker against a scripted stand-in of the retired tracking service (plain HTTP): a shipment
# with its scan events, the same answer as received, then the service's error answer (exit status 1).
if [ -n "${KV_SCRIPTED_DIR:-}" ]; then
    ups_answer='<?xml version="1.0"?><TrackResponse><Response><ResponseStatusCode>1</ResponseStatusCode></Response><Shipment><Shipper><ShipperNumber>A1B2C3</ShipperNumber><Address><City>Paris</City><CountryCode>FR</CountryCode></Address></Shipper><ShipTo><Address><City>Lyon</City><CountryCode>FR</CountryCode></Address></ShipTo><ShipmentWeight><UnitOfMeasurement><Code>KGS</Code></UnitOfMeasurement><Weight>2.50</Weight></ShipmentWeight><Service><Code>011</Code><Description>STANDARD</Description></Service><ShipmentIdentificationNumber>1Z999AA10123456784</ShipmentIdentificationNumber><PickupDate>20140505</PickupDate><Package><Activity><ActivityLocation><Address><City>Lyon</City><CountryCode>FR</CountryCode></Address></ActivityLocation><Status><StatusType><Code>D</Code><Description>DELIVERED</Description></StatusType></Status><Date>20140506</Date><Time>071809</Time></Activity><Activity><ActivityLocation><Address><City>Paris</City><CountryCode>FR</CountryCode></Address></ActivityLocation><Status><StatusType><Code>P</Code><Description>PICKUP</Description></StatusType></Status><Date>20140505</Date><Time>180000</Time></Activity></Package></Shipment></TrackResponse>'
    ups_error='<?xml version="1.0"?><TrackResponse><Response><ResponseStatusCode>0</ResponseStatusCode><Error><ErrorCode>151018</ErrorCode><ErrorDescription>Invalid tracking number</ErrorDescription></Error></Response></TrackResponse>'
    ups_step() { # the stand-in's steps: read the request, answer with $1
        printf '{"steps": [{"read_until": "</TrackRequest>"}, {"send": "HTTP/1.1 200 OK\\r\\nContent-Length: %s\\r\\nConnection: close\\r\\n\\r\\n%s"}]}' \
            "${#1}" "$(printf '%s' "$1" | sed 's/"/\\"/g')"
    }
    printf '{"connections": [%s, %s, %s]}\n' "$(ups_step "$ups_answer")" "$(ups_step "$ups_answer")" \
        "$(ups_step "$ups_error")" >"$KV_SCRIPTED_DIR/script.json"
    step ups 1Z999AA10123456784 --http --host 127.0.0.1 --port "$KV_SCRIPTED_PORT"
    step ups 1Z999AA10123456784 --http --host 127.0.0.1 --port "$KV_SCRIPTED_PORT" --raw
    echo
    step ups 1Z000 --http --host 127.0.0.1 --port "$KV_SCRIPTED_PORT"
fi
