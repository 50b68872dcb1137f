#!/usr/bin/env python3
"""Tenvalia's device as Home Assistant takes it, from what it publishes.

  ha_discovery.py check DISCOVERY NODE NAME=CAPTION...
      The device discovery message against Home Assistant's documented schema for device
      discovery (every key documented for its place, abbreviations allowed, the required ones
      there, availability given one way), and against the window: its boxes, lines and captions.
  ha_discovery.py show DISCOVERY AVAILABILITY STATE
      Each entity's state as Home Assistant would show it, its templates rendered with Jinja
      over the retained availability and state messages: one line per entity, "name: state".

The keys are those of Home Assistant's MQTT documentation (integrations/mqtt, and the
binary_sensor, button, event and select MQTT platforms), abbreviations included.
"""
import json
import sys

import jinja2

ABBREVIATIONS = {
    'avty': 'availability', 'avty_mode': 'availability_mode', 'avty_t': 'availability_topic',
    'avty_tpl': 'availability_template', 'cmd_t': 'command_topic', 'cmd_tpl': 'command_template',
    'cmps': 'components', 'dev': 'device', 'dev_cla': 'device_class', 'e': 'encoding',
    'en': 'enabled_by_default', 'ent_cat': 'entity_category', 'ent_pic': 'entity_picture',
    'evt_typ': 'event_types', 'exp_aft': 'expire_after', 'frc_upd': 'force_update', 'ic': 'icon',
    'json_attr_t': 'json_attributes_topic', 'json_attr_tpl': 'json_attributes_template', 'o': 'origin',
    'obj_id': 'object_id', 'off_dly': 'off_delay', 'ops': 'options', 'opt': 'optimistic', 'p': 'platform',
    'pl_avail': 'payload_available', 'pl_not_avail': 'payload_not_available', 'pl_off': 'payload_off',
    'pl_on': 'payload_on', 'pl_prs': 'payload_press', 'ret': 'retain', 'stat_t': 'state_topic', 't': 'topic',
    'uniq_id': 'unique_id', 'val_tpl': 'value_template',
}
DEVICE_ABBREVIATIONS = {
    'cu': 'configuration_url', 'cns': 'connections', 'ids': 'identifiers', 'mf': 'manufacturer', 'mdl': 'model',
    'mdl_id': 'model_id', 'hw': 'hw_version', 'sw': 'sw_version', 'sa': 'suggested_area', 'sn': 'serial_number',
}
ORIGIN_ABBREVIATIONS = {'sw': 'sw_version', 'url': 'support_url'}

AVAILABILITY = {'availability', 'availability_mode', 'availability_template', 'availability_topic'}
ROOT = AVAILABILITY | {'device', 'origin', 'components', 'command_topic', 'state_topic', 'qos', 'encoding',
                       'payload_available', 'payload_not_available', '~'}
DEVICE = {'configuration_url', 'connections', 'hw_version', 'identifiers', 'manufacturer', 'model', 'model_id',
          'name', 'serial_number', 'suggested_area', 'sw_version', 'via_device'}
ORIGIN = {'name', 'sw_version', 'support_url'}
AVAILABILITY_ITEM = {'payload_available', 'payload_not_available', 'topic', 'value_template'}
ENTITY = AVAILABILITY | {'device', 'enabled_by_default', 'encoding', 'entity_category', 'entity_picture', 'icon',
                         'json_attributes_template', 'json_attributes_topic', 'name', 'object_id', 'platform', 'qos',
                         'unique_id'}
PLATFORMS = {  # (documented keys, required keys)
    'binary_sensor': (ENTITY | {'device_class', 'expire_after', 'force_update', 'off_delay', 'payload_available',
                                'payload_not_available', 'payload_off', 'payload_on', 'state_topic', 'value_template'},
                      {'state_topic'}),
    'button': (ENTITY | {'command_template', 'command_topic', 'device_class', 'payload_available',
                         'payload_not_available', 'payload_press', 'retain'}, {'command_topic'}),
    'event': (ENTITY | {'device_class', 'event_types', 'payload_available', 'payload_not_available', 'state_topic',
                        'value_template'}, {'event_types', 'state_topic'}),
    'select': (ENTITY | {'command_template', 'command_topic', 'optimistic', 'options', 'retain', 'state_topic',
                         'value_template'}, {'command_topic', 'options'}),
}


def expanded(mapping, abbreviations, where):
    out = {}
    for key, value in mapping.items():
        key = abbreviations.get(key, key)
        assert key not in out, f'{where}: {key} given twice'
        out[key] = value
    return out


def only(mapping, documented, where):
    unknown = set(mapping) - documented
    assert not unknown, f'{where}: keys not in the documented schema: {sorted(unknown)}'


def parse(text):
    root = expanded(json.loads(text), ABBREVIATIONS, 'root')
    only(root, ROOT, 'root')
    assert {'device', 'origin', 'components'} <= set(root), 'root: device, origin and components are required'
    device = expanded(root['device'], DEVICE_ABBREVIATIONS, 'device')
    only(device, DEVICE, 'device')
    assert 'identifiers' in device or 'connections' in device, 'device: identifiers or connections required'
    origin = expanded(root['origin'], ORIGIN_ABBREVIATIONS, 'origin')
    only(origin, ORIGIN, 'origin')
    assert 'name' in origin, 'origin: name required'
    components = {}
    for cid, component in root['components'].items():
        shared = {k: v for k, v in root.items() if k not in ('device', 'origin', 'components')}
        component = {**shared, **expanded(component, ABBREVIATIONS, cid)}
        platform = component.get('platform')
        assert platform in PLATFORMS, f'{cid}: platform {platform!r}'
        documented, required = PLATFORMS[platform]
        only(component, documented, cid)
        missing = (required | {'unique_id'}) - set(component)
        assert not missing, f'{cid}: required keys missing: {sorted(missing)}'
        assert not ('availability' in component and 'availability_topic' in component), \
            f'{cid}: availability and availability_topic must not be used together'
        for item in component.get('availability', []):
            item = expanded(item, ABBREVIATIONS, cid)
            only(item, AVAILABILITY_ITEM, f'{cid} availability')
            assert 'topic' in item, f'{cid}: an availability without its topic'
        components[cid] = component
    return device, origin, components


def check(text, node, boxes):
    device, origin, components = parse(text)
    names = [box.split('=', 1)[0] for box in boxes]
    captions = [box.split('=', 1)[1] for box in boxes]
    uid, base = f'tenvalia_{node}', f'tenvalia/{node}/'
    assert device['identifiers'] == [uid] and device.get('manufacturer') and device.get('model'), device
    assert device['name'] == f'Tenvalia {node}' and origin['name'] == 'tenvalia', (device, origin)
    by_platform = {}
    for component in components.values():
        by_platform.setdefault(component['platform'], []).append(component)
    buttons = by_platform['button']
    assert {b['payload_press']: b['name'] for b in buttons} == dict(zip(names, captions)), buttons
    assert len(buttons) == len(names) and all(b['command_topic'] == base + 'click' for b in buttons), buttons
    [select] = by_platform['select']
    assert select['name'] == 'Luces' and select['options'] == ['Apagadas'] + captions, select
    assert select['command_topic'] == base + 'select' and select['state_topic'] == base + 'state', select
    [event] = by_platform['event']
    assert event['event_types'] == names and event['state_topic'] == base + 'event', event
    sensors = by_platform['binary_sensor']
    lines = [s for s in sensors if s.get('device_class') == 'power']
    [problem] = [s for s in sensors if s.get('device_class') == 'problem']
    assert problem.get('entity_category') == 'diagnostic', problem
    assert len(lines) == 8 and len(components) == len(names) + 8 + 3, len(components)
    one_line = [c for c, n in zip(captions, names) if n not in ('interior_casa', 'exterior_casa', 'interior_exterior')]
    assert sorted(s['name'] for s in lines) == sorted(f'{c} (D{n})' for n, c in enumerate(one_line)), \
        [s['name'] for s in lines]
    ids = [c['unique_id'] for c in components.values()]
    assert len(set(ids)) == len(ids) and all(i.startswith(uid + '_') for i in ids), ids


def render(template, payload):
    if template is None:
        return payload
    try:
        value_json = json.loads(payload)
    except ValueError:
        value_json = None
    return jinja2.Environment().from_string(template).render(value=payload, value_json=value_json).strip()


def show(text, availability, state):
    _, _, components = parse(text)
    retained = {}  # topic -> payload, of the two retained topics given
    for component in components.values():
        for key in ('availability_topic', 'state_topic'):
            if key in component:
                topic = component[key]
                retained[topic] = availability if topic.endswith('/availability') else state
    for component in components.values():
        if component['platform'] in ('button', 'event'):
            continue
        checks = component.get('availability') or [{'topic': component['availability_topic']}]
        available = all(render(c.get('value_template'), retained.get(c['topic'], '')) == c.get('payload_available', 'online')
                        for c in checks)
        value = render(component.get('value_template'), state)
        if not available:
            shown = 'unavailable'
        elif component['platform'] == 'select':
            shown = value if value in component['options'] else f'invalid {value!r}'
        else:
            shown = {component.get('payload_on', 'ON'): 'on', component.get('payload_off', 'OFF'): 'off'}.get(value, '?')
        print(f"{component['name']}: {shown}")


if __name__ == '__main__':
    try:
        if sys.argv[1] == 'check':
            check(sys.argv[2], sys.argv[3], sys.argv[4:])
        else:
            show(*sys.argv[2:5])
    except AssertionError as error:
        sys.exit(f'discovery: {error}')
