// SPDX-License-Identifier: Apache-2.0
// The JavaScript half of the Web Bluetooth platform (src/platform/web): the calls the C++
// platform makes on navigator.bluetooth, and their answers, handed back through
// wasm.webBluetoothEvent(peripheral, event, details). GATT operations of one device run one
// after another, in call order, as the browser allows only one at a time.
import { wasm } from './module.js';
import { ChooserCancelled, WebBluetoothUnavailable } from './errors.js';

function bluetooth() {
  const bt = globalThis.navigator?.bluetooth;
  if (bt) return bt;
  if (globalThis.isSecureContext === false) {
    throw new WebBluetoothUnavailable(
      'Web Bluetooth needs a secure page: open it over https or on localhost', 'insecureOrigin');
  }
  throw new WebBluetoothUnavailable(
    'This browser has no Web Bluetooth. Use Chrome or Edge (Android, Windows, macOS, ' +
      'ChromeOS, Linux); Firefox and Safari do not offer it', 'unsupported');
}

/** Opens the browser's chooser on the reader's names and services (from a user gesture). */
export async function requestReaderDevice() {
  const bt = bluetooth();
  const { namePrefixes, services } = wasm.readerFilters();
  const filters = [
    ...namePrefixes.map((namePrefix) => ({ namePrefix })),
    ...services.map((service) => ({ services: [service] })),
  ];
  try {
    return await bt.requestDevice({ filters, optionalServices: services });
  } catch (error) {
    if (error?.name === 'NotFoundError') {
      throw new ChooserCancelled('No reader was chosen', 'chooserCancelled');
    }
    if (error?.name === 'SecurityError') {
      throw new WebBluetoothUnavailable(
        'The reader chooser opens only from a click or a key press', 'noUserGesture');
    }
    throw error;
  }
}

/** The readers this site was granted before, where the browser tells (getDevices). */
export async function grantedReaderDevices() {
  const bt = bluetooth();
  if (typeof bt.getDevices !== 'function') return [];
  const devices = await bt.getDevices();
  return devices.filter((device) => !device.name || wasm.isReaderName(device.name));
}

/** The glue object one WebSession's platform calls. */
export function makeGlue() {
  let chain = Promise.resolve();
  const connected = new Map();  // peripheral number -> its gattserverdisconnected listener
  const notifying = new Map();  // characteristic -> its characteristicvaluechanged listener
  const report = (peripheral, event, details = null) =>
    wasm.webBluetoothEvent(peripheral, event, details);
  // Runs one GATT operation after the ones before it.
  const queued = (operation) => {
    chain = chain.then(operation, operation);
    return chain;
  };
  const dropped = (peripheral, device) => {
    const listener = connected.get(peripheral);
    if (!listener) return;
    device.removeEventListener('gattserverdisconnected', listener);
    connected.delete(peripheral);
    for (const [characteristic, onValue] of notifying) {
      characteristic.removeEventListener('characteristicvaluechanged', onValue);
    }
    notifying.clear();
    report(peripheral, 'disconnected');
  };

  return {
    connect(peripheral, device) {
      queued(async () => {
        try {
          await device.gatt.connect();
        } catch {
          report(peripheral, 'connectFailed');
          return;
        }
        const listener = () => dropped(peripheral, device);
        connected.set(peripheral, listener);
        device.addEventListener('gattserverdisconnected', listener);
        report(peripheral, 'connected');
      });
    },
    disconnect(peripheral, device) {
      // The browser's own event may come late or not at all for a disconnection the page
      // asked for: report it here, once.
      if (device.gatt.connected) device.gatt.disconnect();
      dropped(peripheral, device);
    },
    forget(peripheral, device) {
      if (connected.has(peripheral) && device.gatt.connected) device.gatt.disconnect();
      const listener = connected.get(peripheral);
      if (listener) device.removeEventListener('gattserverdisconnected', listener);
      connected.delete(peripheral);
    },
    discoverServices(peripheral, device) {
      queued(async () => {
        let services = null;
        try {
          services = await device.gatt.getPrimaryServices();
        } catch {
          services = null;
        }
        report(peripheral, 'services', services);
      });
    },
    discoverCharacteristics(peripheral, service) {
      queued(async () => {
        let characteristics = null;
        try {
          characteristics = await service.getCharacteristics();
        } catch {
          characteristics = null;
        }
        report(peripheral, 'characteristics', { characteristics });
      });
    },
    setNotifications(peripheral, characteristic, enabled) {
      queued(async () => {
        if (enabled && !notifying.has(characteristic)) {
          const onValue = (event) => report(peripheral, 'value',
            { characteristic: event.target, value: event.target.value });
          notifying.set(characteristic, onValue);
          characteristic.addEventListener('characteristicvaluechanged', onValue);
          try {
            await characteristic.startNotifications();
          } catch (error) {
            console.warn('orvex: notifications could not be switched on:', error);
          }
        } else if (!enabled && notifying.has(characteristic)) {
          characteristic.removeEventListener('characteristicvaluechanged',
            notifying.get(characteristic));
          notifying.delete(characteristic);
          try {
            await characteristic.stopNotifications();
          } catch {
            // the connection is gone already
          }
        }
      });
    },
    write(peripheral, characteristic, bytes, withResponse) {
      queued(async () => {
        try {
          if (withResponse) await characteristic.writeValueWithResponse(bytes);
          else await characteristic.writeValueWithoutResponse(bytes);
        } catch (error) {
          // The link awaits no write; a lost connection reaches it as a disconnection.
          console.warn('orvex: a write failed:', error);
        }
      });
    },
  };
}
